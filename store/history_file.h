// The monitor's history on disk: one SQLite file of per-minute totals
// (merged into hours once a day old), bounded in days and in size. The
// writer thread owns an open file; usage questions open their own
// read-only connection, so any web thread may ask while the writer writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/history_usage.h"
#include "store/history_minutes.h"

// The history version this program writes and reads; a file of a newer one
// is refused, one of version 1 is brought to this one when opened.
inline constexpr int kHistorySchemaVersion = 2;

struct HistoryFile;

// Opens the history at `path`, creating it (readable by its owner only)
// when it does not exist. Null with a one-line reason in `error` when the
// file is not a history file, is of a newer version, cannot be created or
// cannot be written.
std::shared_ptr<HistoryFile> openHistoryFile(const std::string& path, std::string& error);

// Adds the minutes in one transaction.
bool writeHistory(HistoryFile& file, const HistoryMinutes& minutes, std::string& error);

// Keeps the bounds: minutes before `nowMinute` - `days` days leave, minutes
// more than a day old become hours, and while the file holds more than
// `maxBytes` the oldest hour leaves.
bool trimHistory(HistoryFile& file, uint64_t nowMinute, uint32_t days, uint64_t maxBytes, std::string& error);

// Bytes the file's data takes (its pages in use).
bool historyBytes(HistoryFile& file, uint64_t& bytes, std::string& error);

// Answers a usage question from the history at `path`.
bool queryHistoryUsage(const std::string& path, const UsageQuery& query, UsageAnswer& answer, std::string& error);
