#include "capture/flow_names.h"

#include <string_view>

#include "capture/names/name_table.h"
#include "capture/names/quic_initial.h"
#include "capture/names/tls_hello.h"

bool peerNamesOn = true;

void setPeerNames(bool on) {
  peerNamesOn = on;
  if (!on) nameTableClear();
}

PeerName ownServerName(NamePacket kind, const uint8_t* payload, size_t length) {
  char name[256];
  size_t nameLength = 0;
  if (kind == NamePacket::kTls && tlsServerName(payload, length, name, &nameLength)) {
    return PeerName::make(std::string_view(name, nameLength), NameSource::kTls);
  }
  if (kind == NamePacket::kQuic && quicServerName(payload, length, name, &nameLength)) {
    return PeerName::make(std::string_view(name, nameLength), NameSource::kQuic);
  }
  return PeerName();
}

PeerName dnsPeerName(uint8_t family, const uint8_t* address, uint64_t now) {
  const char* name = nameTableLookup(family, address, now);
  return name == nullptr ? PeerName() : PeerName::make(name, NameSource::kDns);
}
