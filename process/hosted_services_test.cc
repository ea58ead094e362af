#include "process/hosted_services.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// An enumeration buffer as the service manager lays it out: the entries
// (two name pointers, nine 32-bit fields) at its start, the UTF-16 names
// after them, every pointer an address within the buffer at `base`.
struct Entry {
  std::u16string name;
  uint32_t pid;
};
ServiceListBatch windowsBuffer(const std::vector<Entry>& entries, size_t pointerBytes, uint64_t base) {
  const size_t entryBytes = pointerBytes == 8 ? 56 : 44;
  ServiceListBatch batch;
  batch.base = base;
  batch.count = static_cast<uint32_t>(entries.size());
  batch.bytes.assign(entries.size() * entryBytes, 0xCC);
  const auto put = [&](size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) batch.bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t at = i * entryBytes;
    const uint64_t name = base + batch.bytes.size();
    for (char16_t c : entries[i].name + u'\0') {
      batch.bytes.push_back(static_cast<uint8_t>(c));
      batch.bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    put(at, name, pointerBytes);                    // service name
    put(at + pointerBytes, name, pointerBytes);     // display name (the same here)
    put(at + 2 * pointerBytes, 0x20, 4);            // SERVICE_WIN32_SHARE_PROCESS
    put(at + 2 * pointerBytes + 4, 4, 4);           // SERVICE_RUNNING
    put(at + 2 * pointerBytes + 7 * 4, entries[i].pid, 4);
  }
  return batch;
}

std::string text(const std::map<uint32_t, std::string>& byProcess) {
  std::string out;
  for (const auto& [pid, names] : byProcess) out += std::to_string(pid) + "=" + names + " ";
  return out;
}

TEST(HostedServices, NamesPerProcessSortedAndJoinedFromWindowsBuffers) {
  const std::vector<Entry> svchost = {{u"Dnscache", 1204}, {u"LanmanWorkstation", 1204}, {u"BITS", 1204},
                                      {u"Spooler", 2300},  {u"Starting", 0},             {u"Dienst\u00e9\U0001F600", 77}};
  for (size_t pointerBytes : {8u, 4u}) {
    ServiceListRead read;
    read.supported = true;
    read.pointerBytes = static_cast<uint32_t>(pointerBytes);
    read.batches.push_back(windowsBuffer(svchost, pointerBytes, pointerBytes == 8 ? 0x7ff6a0010000 : 0x00a10000));
    read.batches.push_back(
        windowsBuffer({{u"WinDefend", 3100}, {u"Audiosrv", 1204}, {u"Dn,BITS", 3100}}, pointerBytes, 0x1000));
    EXPECT_EQ(text(servicesByProcess(read)),
              "77=Dienst\xc3\xa9\xf0\x9f\x98\x80 1204=Audiosrv,BITS,Dnscache,LanmanWorkstation 2300=Spooler "
              "3100=Dn_BITS,WinDefend ")
        << pointerBytes << "-byte pointers";
  }
}

TEST(HostedServices, EntriesPointingOutsideTheirBufferAreLeftOut) {
  const auto pointTo = [](ServiceListBatch& b, uint64_t address) {
    for (size_t i = 0; i < 8; ++i) b.bytes[i] = static_cast<uint8_t>(address >> (8 * i));
  };
  struct Case {
    const char* what;
    std::function<void(ServiceListBatch&)> spoil;
    const char* listed;
  } cases[] = {
      {"as made", [](ServiceListBatch&) {}, "1204=Dnscache "},
      {"name before the buffer", [&](ServiceListBatch& b) { pointTo(b, b.base - 2); }, ""},
      {"name past the buffer", [&](ServiceListBatch& b) { pointTo(b, b.base + b.bytes.size()); }, ""},
      {"name without its zero", [](ServiceListBatch& b) { b.bytes.resize(b.bytes.size() - 2); }, ""},
      {"more entries counted than held", [](ServiceListBatch& b) { b.count = 1000; }, "1204=Dnscache "},
      {"cut in the first entry", [](ServiceListBatch& b) { b.bytes.resize(30); }, ""},
  };
  for (const Case& c : cases) {
    ServiceListRead read;
    read.batches.push_back(windowsBuffer({{u"Dnscache", 1204}}, 8, 0x10000));
    c.spoil(read.batches[0]);
    EXPECT_EQ(text(servicesByProcess(read)), c.listed) << c.what;
  }
}

}  // namespace
