#include "export/datagram.h"

#include "export/serialize.h"

namespace {

using std::to_string;

// Reads the strings of one record; every read is checked against the end.
struct StringReader {
  const uint8_t* data;
  size_t size;
  size_t at;  // next byte to read

  size_t left() const { return size - at; }

  // One length byte (the caller has checked it is there) and that many
  // bytes. False, with `length` set, when the bytes run past the end.
  bool read(std::string& out, size_t& length) {
    length = data[at];
    if (left() - 1 < length) return false;
    out.assign(reinterpret_cast<const char*>(data + at + 1), length);
    at += 1 + length;
    return true;
  }
};

// The fixed fields of the record at `r`; 45 bytes are there.
FlowRecord readFixedFields(const uint8_t* r) {
  FlowRecord rec;
  rec.srcip = getU32(r + 0);
  rec.dstip = getU32(r + 4);
  rec.firstseen = getU64(r + 8);
  rec.lastseen = getU64(r + 16);
  rec.srcport = getU16(r + 24);
  rec.dstport = getU16(r + 26);
  rec.inif = getU16(r + 28);
  rec.outif = getU16(r + 30);
  rec.proto = r[32];
  rec.tos = r[33];
  rec.flags = r[34];
  rec.bytes = static_cast<int32_t>(getU32(r + 35));
  rec.pkts = static_cast<int32_t>(getU32(r + 39));
  rec.replydelay = getU16(r + 43);
  return rec;
}

}  // namespace

bool decodeDatagram(const uint8_t* data, size_t size, std::vector<FlowRecord>& records, std::string& error) {
  records.clear();
  auto fail = [&](std::string text) {
    records.clear();
    error = std::move(text);
    return false;
  };
  if (size < kDatagramHeaderBytes) {
    return fail("datagram of " + to_string(size) + " bytes is shorter than the 4-byte header");
  }
  if (size > kMaxDatagramBytes) {
    return fail("datagram of " + to_string(size) + " bytes is longer than the 1400-byte limit");
  }
  const uint16_t version = getU16(data);
  if (version != kExportVersion) return fail("version " + to_string(version) + ", expected 2");

  const size_t count = getU16(data + 2);
  size_t offset = kDatagramHeaderBytes;
  for (size_t n = 1; n <= count; ++n) {
    if (offset == size) {
      return fail("record count " + to_string(count) + " but the datagram ends after " + to_string(n - 1) +
                  " records");
    }
    auto where = [&] {
      return "record " + to_string(n) + " of " + to_string(count) + " at offset " + to_string(offset) + ": ";
    };
    // 45 bytes of fixed fields and the domain's length byte.
    if (size - offset < kRecordFixedBytes - 2) {
      return fail(where() + "fixed fields and domain length need 46 bytes, " + to_string(size - offset) + " left");
    }
    // The direction fields are 16 bits on the wire and 0 or 1 as the
    // monitor sends them; a record keeps a byte of each.
    if (getU16(data + offset + 28) > 0xFF || getU16(data + offset + 30) > 0xFF) {
      return fail(where() + "inif " + to_string(getU16(data + offset + 28)) + " or outif " +
                  to_string(getU16(data + offset + 30)) + " is above 255");
    }
    FlowRecord rec = readFixedFields(data + offset);
    auto pastEnd = [&] { return " runs past the end of the " + to_string(size) + "-byte datagram"; };
    StringReader reader{data, size, offset + 45};
    std::string domain, user, processname;
    size_t length = 0;
    if (!reader.read(domain, length)) return fail(where() + "domain of " + to_string(length) + " bytes" + pastEnd());
    if (reader.left() == 0) return fail(where() + "user length byte" + pastEnd());
    if (!reader.read(user, length)) return fail(where() + "user of " + to_string(length) + " bytes" + pastEnd());
    if (reader.left() == 0) return fail(where() + "processname length byte" + pastEnd());
    if (!reader.read(processname, length)) {
      return fail(where() + "processname of " + to_string(length) + " bytes" + pastEnd());
    }
    rec.owner = makeOwner(std::move(processname), std::move(user), std::move(domain));
    records.push_back(std::move(rec));
    offset = reader.at;
  }
  if (offset != size) {
    return fail("record count " + to_string(count) + " but " + to_string(size - offset) +
                " bytes follow the last record");
  }
  return true;
}
