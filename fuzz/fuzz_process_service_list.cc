// A service manager enumeration buffer through the service-list parser: the
// first byte picks the pointer size and the entry count, the rest is the
// buffer, laid at an address of the input's choosing. Every name found must
// be non-empty UTF-8 of a process other than 0, and sorted in its list.
#include <cstdint>
#include <cstring>
#include <string>

#include "process/hosted_services.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  ServiceListRead read;
  read.supported = true;
  read.pointerBytes = data[0] & 1 ? 4 : 8;
  ServiceListBatch batch;
  batch.count = data[0] >> 1;
  batch.base = static_cast<uint64_t>(data[1]) << 16 | static_cast<uint64_t>(data[2]) << 8;
  batch.bytes.assign(data + 3, data + size);
  read.batches.push_back(std::move(batch));
  for (const auto& [pid, names] : servicesByProcess(read)) {
    if (pid == 0 || names.empty() || names.front() == ',' || names.back() == ',') __builtin_trap();
    std::string previous;
    size_t at = 0;
    while (at <= names.size()) {
      size_t end = names.find(',', at);
      if (end == std::string::npos) end = names.size();
      const std::string name = names.substr(at, end - at);
      if (name < previous) __builtin_trap();
      previous = name;
      at = end + 1;
    }
  }
  return 0;
}
