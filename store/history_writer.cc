#include "store/history_writer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "flow/flow_table.h"
#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/history_usage.h"
#include "runtime/settings.h"
#include "store/history_file.h"

namespace {

constexpr uint64_t kRetryMillis = 60000;
// Peers kept apart per program and minute; the rest are summed as one, so
// that a busy host's week stays within the file's bound.
constexpr size_t kPeersKept = 5;

struct HistoryWriter {
  HistorySettings settings;
  std::thread thread;

  std::mutex queueMutex;  // guards finished, passAsked, finishing, started, passes and offReason
  std::condition_variable changed;
  std::vector<FlowEntry> finished;
  bool passAsked = false;
  bool finishing = false;
  uint64_t started = 0;  // passes that have taken the queue
  uint64_t passes = 0;   // passes done
  std::string offReason;  // why the file is not in use, for usage answers

  std::atomic<uint64_t> notCounted{0};  // finished flows refused by a full queue
  std::atomic<uint64_t> lastPassAt{0};
  std::atomic<bool> fileOpen{false};

  // The writer thread's alone.
  std::shared_ptr<HistoryFile> file;
  FlowTracker tracker;
  uint64_t nextOpenAt = 0;
};

std::mutex writerMutex;  // guards writer (its start and end)
std::shared_ptr<HistoryWriter> writer;

// The console line, and the reason kept for usage answers.
void sayOff(HistoryWriter& w, const std::string& why) {
  consolePrintf("History off: %s\n", why.c_str());
  std::lock_guard<std::mutex> lock(w.queueMutex);
  w.offReason = why;
}

void sayOn(const HistorySettings& s) {
  consolePrintf("History in %s: %u days, %llu MB at most\n", s.path.c_str(), s.days,
                static_cast<unsigned long long>(s.maxBytes / (1024 * 1024)));
}

// One count and write. `scheduled`: the minute's pass, which also keeps the
// bounds. A file that failed is tried again a minute later.
void historyPass(HistoryWriter& w, bool scheduled, std::vector<FlowEntry> finished, std::vector<FlowEntry> open) {
  const uint64_t now = currentTimeMillis();
  w.lastPassAt = now;
  if (!w.file && now >= w.nextOpenAt) {
    std::string why;
    w.file = openHistoryFile(w.settings.path, why);
    if (!w.file) {
      sayOff(w, why);
      w.nextOpenAt = now + kRetryMillis;
    } else {
      sayOn(w.settings);
    }
  }
  w.fileOpen = w.file != nullptr;
  if (!w.file) return;
  HistoryMinutes minutes;
  countFinishedFlows(w.tracker, finished, minutes);
  countOpenFlows(w.tracker, open, now, minutes);
  foldRarePeers(minutes, kPeersKept);
  std::string why;
  bool ok = minutes.empty() || writeHistory(*w.file, minutes, why);
  if (ok && scheduled) ok = trimHistory(*w.file, now / 60000, w.settings.days, w.settings.maxBytes, why);
  if (!ok) {
    // What could not be written is let go; the file is tried again in a minute.
    sayOff(w, why);
    w.file.reset();
    w.fileOpen = false;
    w.nextOpenAt = now + kRetryMillis;
  }
}

void historyLoop(HistoryWriter& w) {
  for (;;) {
    std::vector<FlowEntry> finished;
    bool scheduled = false, last = false;
    {
      std::unique_lock<std::mutex> lock(w.queueMutex);
      // Just after the next minute begins.
      const uint64_t now = currentTimeMillis();
      const uint64_t wait = 60000 - now % 60000 + 200;
      scheduled = !w.changed.wait_for(lock, std::chrono::milliseconds(wait),
                                      [&w] { return w.passAsked || w.finishing; });
      last = w.finishing;
      w.passAsked = false;
      finished.swap(w.finished);
      ++w.started;
    }
    std::vector<FlowEntry> open = copyFlows();
    if (last) {
      std::vector<FlowEntry> waiting = copyExports();
      finished.insert(finished.end(), waiting.begin(), waiting.end());
    }
    historyPass(w, scheduled || last, std::move(finished), std::move(open));
    {
      std::lock_guard<std::mutex> lock(w.queueMutex);
      ++w.passes;
    }
    w.changed.notify_all();
    if (last) return;
  }
}

// The usage answer: the latest numbers written first, unless a pass ran
// moments ago.
bool answerUsage(HistoryWriter& w, const UsageQuery& query, UsageAnswer& answer, std::string& error) {
  {
    std::unique_lock<std::mutex> lock(w.queueMutex);
    if (w.passes == 0 || currentTimeMillis() - w.lastPassAt >= w.settings.askedPassGapMillis) {
      // A pass that takes the queue after this request: one already under
      // way may have taken it before the flows just finished were queued.
      const uint64_t wanted = w.started + 1;
      w.passAsked = true;
      w.changed.notify_all();
      w.changed.wait_for(lock, std::chrono::seconds(3), [&w, wanted] { return w.passes >= wanted || w.finishing; });
    }
    if (!w.fileOpen) {
      error = w.offReason.empty() ? "history is off" : w.offReason;
      return false;
    }
  }
  return queryHistoryUsage(w.settings.path, query, answer, error);
}

// A whole number from `key` in the settings, or `fallback`.
uint64_t wholeSetting(const char* key, uint64_t fallback, uint64_t max) {
  const Json::Value value = settingValue(key);
  if (value.isNull()) return fallback;
  if (value.isIntegral() && value.asLargestInt() >= 0 && value.asLargestUInt() <= max) return value.asLargestUInt();
  consolePrintf("%s %s is not a whole number from 0 to %llu; %llu instead\n", key, jsonText(value).c_str(),
                static_cast<unsigned long long>(max), static_cast<unsigned long long>(fallback));
  return fallback;
}

}  // namespace

HistorySettings readHistorySettings() {
  HistorySettings s;
  s.days = static_cast<uint32_t>(wholeSetting("historyDays", s.days, 3660));
  s.maxBytes = wholeSetting("historyMaxMB", s.maxBytes / (1024 * 1024), 1024 * 1024) * 1024 * 1024;
  return s;
}

void startHistory(const HistorySettings& settings) {
  if (settings.days == 0) return;
  std::lock_guard<std::mutex> lock(writerMutex);
  if (writer) return;
  writer = std::make_shared<HistoryWriter>();
  writer->settings = settings;
  std::shared_ptr<HistoryWriter> w = writer;
  setFinishedFlowTap(queueFinishedFlows);
  setUsageSource([w](const UsageQuery& q, UsageAnswer& a, std::string& e) { return answerUsage(*w, q, a, e); });
  // The first pass opens the file at once.
  w->passAsked = true;
  w->thread = std::thread(historyLoop, std::ref(*w));
}

void queueFinishedFlows(const FlowEntry* flows, size_t count) {
  std::lock_guard<std::mutex> writerLock(writerMutex);
  HistoryWriter* w = writer.get();
  if (w == nullptr || count == 0) return;
  std::lock_guard<std::mutex> lock(w->queueMutex);
  const size_t room = w->settings.queueCapacity - std::min(w->settings.queueCapacity, w->finished.size());
  const size_t taken = std::min(room, count);
  w->finished.insert(w->finished.end(), flows, flows + taken);
  w->notCounted += count - taken;
}

void finishHistory() {
  std::shared_ptr<HistoryWriter> w;
  {
    std::lock_guard<std::mutex> lock(writerMutex);
    w = writer;
  }
  if (!w) return;
  {
    std::lock_guard<std::mutex> lock(w->queueMutex);
    w->finishing = true;
  }
  w->changed.notify_all();
  w->thread.join();
  setUsageSource(nullptr);
  setFinishedFlowTap(nullptr);
  std::lock_guard<std::mutex> lock(writerMutex);
  writer.reset();
}
