// Interface discovery: prints the adapter report, records every adapter's IPv4
// addresses (`ips`), IPv6 addresses (`ips6`, RFC 5952 text, as listed now)
// and hardware address in interfacesDiscovered, and fills an empty
// listenerIP with the first eligible address. Main thread at start-up, then
// the capture thread before each capture run.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/adapters.h"

// One discovery run against the system and the process-wide state. Ends the
// process with status 1 on the fatal failures (no memory for the list, a
// system error that has a text).
void discoverInterfaces();

// What a run reads and changes besides the interface record.
struct DiscoveryIo {
  // Writes one console message.
  std::function<void(const std::string&)> write;
  // True when the settings have a listenerIP member whose string value (by
  // the typed read) is empty.
  std::function<bool()> listenerEmpty;
  // Makes `address` the listenerIP; false when the setting changed since
  // listenerEmpty looked at it and was left alone.
  std::function<bool(const std::string&)> takeListener;
  // Given the list before the report: lets a discovered listener that has
  // moved go, so the report's decision picks the current address. Optional.
  std::function<void(const AdapterList&)> followListener;
};

// The whole run over the list `fetch` returns: report, recording into
// `interfaces` (members and elements are set, never removed) and the
// listener decision. Returns true when the process must end with status 1.
bool runDiscovery(const std::function<AdapterList()>& fetch, Json::Value& interfaces, const DiscoveryIo& io);

// The emptiness test of the listener decision: true when `settingsDoc` has
// a listenerIP member whose typed string read is empty. A value of another
// type prints the typed-read line and counts as the default, "".
bool listenerIsEmpty(const Json::Value& settingsDoc);

// Hardware address bytes as recorded: lower-case hex without leading zeros,
// joined by ":" (00 1A 2B -> "0:1a:2b").
std::string macText(const std::vector<uint8_t>& bytes);
