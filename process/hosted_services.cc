#include "process/hosted_services.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace {

uint64_t littleEndian(const uint8_t* at, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = bytes; i-- > 0;) v = v << 8 | at[i];
  return v;
}

// The UTF-16LE string at `offset` of `bytes`, up to its zero, as UTF-8;
// false when it runs past the end.
bool utf8At(const std::vector<uint8_t>& bytes, uint64_t offset, std::string& out) {
  out.clear();
  for (uint64_t at = offset; at + 1 < bytes.size(); at += 2) {
    uint32_t c = static_cast<uint32_t>(littleEndian(&bytes[at], 2));
    if (c == 0) return true;
    if (c >= 0xD800 && c < 0xDC00 && at + 3 < bytes.size()) {
      const uint32_t low = static_cast<uint32_t>(littleEndian(&bytes[at + 2], 2));
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        at += 2;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // a lone surrogate
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return false;
}

// Guards `directory`.
std::mutex hostedServicesMutex;
struct Directory {
  bool read = false;
  bool supported = true;
  std::map<uint32_t, std::string> byProcess;
  std::unordered_set<uint32_t> unlistedSince;  // asked for since the last read and not listed by it
};
Directory directory;  // guarded by hostedServicesMutex

// Processes asked for and not listed that are remembered before the next read.
constexpr size_t kUnlistedMax = 4096;

void readDirectory() {
  const ServiceListRead read = readServiceList();
  std::map<uint32_t, std::string> byProcess = servicesByProcess(read);
  std::lock_guard<std::mutex> lock(hostedServicesMutex);
  directory.read = true;
  directory.supported = read.supported;
  if (read.error != 0 && byProcess.empty()) return;  // keep the last good list
  directory.byProcess = std::move(byProcess);
  directory.unlistedSince.clear();
}

}  // namespace

std::map<uint32_t, std::string> servicesByProcess(const ServiceListRead& read) {
  const size_t p = read.pointerBytes == 4 ? 4 : 8;
  const size_t entryBytes = (2 * p + 9 * 4 + p - 1) / p * p;
  std::map<uint32_t, std::vector<std::string>> names;
  for (const ServiceListBatch& batch : read.batches) {
    const size_t entries = std::min<size_t>(batch.count, batch.bytes.size() / entryBytes);
    for (size_t i = 0; i < entries; ++i) {
      const uint8_t* entry = batch.bytes.data() + i * entryBytes;
      const uint64_t name = littleEndian(entry, p);
      const uint32_t pid = static_cast<uint32_t>(littleEndian(entry + 2 * p + 7 * 4, 4));
      std::string text;
      if (pid == 0 || name < batch.base || name - batch.base >= batch.bytes.size() ||
          !utf8At(batch.bytes, name - batch.base, text) || text.empty()) {
        continue;
      }
      // The list is joined with ",": a comma inside a name would split it.
      std::replace(text.begin(), text.end(), ',', '_');
      names[pid].push_back(std::move(text));
    }
  }
  std::map<uint32_t, std::string> out;
  for (auto& [pid, list] : names) {
    std::sort(list.begin(), list.end());
    std::string& joined = out[pid];
    for (const std::string& n : list) joined += (joined.empty() ? "" : ",") + n;
  }
  return out;
}

std::string hostedServices(uint32_t pid) {
  {
    std::lock_guard<std::mutex> lock(hostedServicesMutex);
    if (directory.read && !directory.supported) return "";
    if (directory.read) {
      auto it = directory.byProcess.find(pid);
      if (it != directory.byProcess.end()) return it->second;
      if (directory.unlistedSince.count(pid) != 0) return "";
    }
  }
  readDirectory();  // a process the last read did not know: perhaps one started since
  std::lock_guard<std::mutex> lock(hostedServicesMutex);
  auto it = directory.byProcess.find(pid);
  if (it != directory.byProcess.end()) return it->second;
  if (directory.unlistedSince.size() >= kUnlistedMax) directory.unlistedSince.clear();
  directory.unlistedSince.insert(pid);
  return "";
}

void refreshHostedServices() {
  {
    std::lock_guard<std::mutex> lock(hostedServicesMutex);
    if (directory.read && !directory.supported) return;
  }
  readDirectory();
}
