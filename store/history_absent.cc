// A build without an embedded SQLite (the Windows monitor): no history file.
#include "store/history_file.h"

struct HistoryFile {};

std::shared_ptr<HistoryFile> openHistoryFile(const std::string&, std::string& error) {
  error = "no history in this build";
  return nullptr;
}
bool writeHistory(HistoryFile&, const HistoryMinutes&, std::string&) { return false; }
bool trimHistory(HistoryFile&, uint64_t, uint32_t, uint64_t, std::string&) { return false; }
bool historyBytes(HistoryFile&, uint64_t&, std::string&) { return false; }
bool queryHistoryUsage(const std::string&, const UsageQuery&, UsageAnswer&, std::string& error) {
  error = "no history in this build";
  return false;
}
