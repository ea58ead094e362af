#include "store/store_writer.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint64_t kDayMillis = 24ull * 3600 * 1000;
// Pauses after a failed write: doubling from the first to the last.
constexpr uint32_t kFirstRetryMillis = 500;
constexpr uint32_t kLastRetryMillis = 30000;
// Failed writes tolerated once finishing, before the rest counts as lost.
constexpr int kFinishingTries = 3;

// Waits until a batch is due and moves it from the queue into `batch`:
// up to batchRecords records, once that many are queued, the oldest queued
// record has waited batchMillis, or the writer is finishing. Returns early,
// with `batch` empty, by `wakeBy` (for the report and the pruning).
void takeBatch(StoreWriter& w, std::vector<StoredFlow>& batch, Clock::time_point wakeBy) {
  std::unique_lock<std::mutex> lock(w.queueMutex);
  if (!w.queueChanged.wait_until(lock, wakeBy, [&] { return !w.queue.empty() || w.finishing; })) return;
  const auto due = w.oldestQueued + milliseconds(w.settings.batchMillis);
  w.queueChanged.wait_until(lock, due, [&] { return w.queue.size() >= w.settings.batchRecords || w.finishing; });
  const size_t n = std::min(w.queue.size(), w.settings.batchRecords);
  for (size_t i = 0; i < n; ++i) {
    w.queueFill -= queuedBytes(w.queue.front());
    batch.push_back(std::move(w.queue.front()));
    w.queue.pop_front();
  }
  // What stays behind waits from now on: its own arrival is not kept.
  w.oldestQueued = Clock::now();
}

// Sleeps `ms` unless the writer is told to finish meanwhile.
void pause(StoreWriter& w, uint32_t ms) {
  std::unique_lock<std::mutex> lock(w.queueMutex);
  w.queueChanged.wait_for(lock, milliseconds(ms), [&] { return w.finishing; });
}

bool finishingNow(StoreWriter& w) {
  std::lock_guard<std::mutex> lock(w.queueMutex);
  return w.finishing;
}

void runWriter(StoreWriter& w) {
  std::vector<StoredFlow> batch;
  batch.reserve(w.settings.batchRecords);
  std::string error;
  bool failing = false;
  uint32_t retryMillis = kFirstRetryMillis;
  int finishingFailures = 0;
  bool pruneMore = w.settings.keepDays > 0;  // at start: old records may be waiting
  auto nextPrune = Clock::now();
  auto nextReport = Clock::now() + milliseconds(w.settings.reportMillis);
  uint64_t reportedStored = 0, reportedDropped = 0, reportedRemoved = 0;

  for (;;) {
    if (batch.empty()) {
      const auto wakeBy = pruneMore ? Clock::now() : std::min(nextPrune, nextReport);
      takeBatch(w, batch, wakeBy);
    }
    if (!batch.empty()) {
      if (w.store->write(batch, error)) {
        w.stored += batch.size();
        batch.clear();
        if (failing) w.say("vantrel-collect: writing to the store again\n");
        failing = false;
        retryMillis = kFirstRetryMillis;
      } else {
        if (!failing) {
          w.say("vantrel-collect: cannot write to the store: " + error +
                "; the records wait in the queue and the write is tried again\n");
        }
        failing = true;
        if (finishingNow(w) && ++finishingFailures >= kFinishingTries) {
          std::lock_guard<std::mutex> lock(w.queueMutex);
          w.lost += batch.size() + w.queue.size();
          w.queue.clear();
          w.queueFill = 0;
          batch.clear();
          return;
        }
        pause(w, retryMillis);
        retryMillis = std::min(retryMillis * 2, kLastRetryMillis);
      }
    }
    const auto now = Clock::now();
    if (w.settings.keepDays > 0 && (pruneMore || now >= nextPrune)) {
      size_t removed = 0;
      const uint64_t before = currentTimeMillis() - uint64_t(w.settings.keepDays) * kDayMillis;
      pruneMore = w.store->prune(before, w.settings.pruneBatch, removed, error) && removed == w.settings.pruneBatch;
      w.removed += removed;
      nextPrune = now + milliseconds(1000);
    }
    if (now >= nextReport) {
      const uint64_t stored = w.stored, dropped = w.dropped, removed = w.removed;
      const size_t depth = queueDepth(w);
      if (stored != reportedStored || dropped != reportedDropped || removed != reportedRemoved || depth > 0) {
        w.say(storeReportLine(stored - reportedStored, dropped - reportedDropped, removed - reportedRemoved,
                              w.settings.keepDays, depth));
      }
      reportedStored = stored, reportedDropped = dropped, reportedRemoved = removed;
      nextReport = now + milliseconds(w.settings.reportMillis);
    }
    // A backlog of old records to remove does not hold up the stop: the
    // next start goes on with it.
    if (batch.empty()) {
      std::lock_guard<std::mutex> lock(w.queueMutex);
      if (w.finishing && w.queue.empty()) return;
    }
  }
}

}  // namespace

void startStoreWriter(StoreWriter& writer, std::unique_ptr<FlowStore> store, const StoreWriterSettings& settings,
                      std::function<void(const std::string&)> say) {
  writer.settings = settings;
  writer.store = std::move(store);
  writer.say = std::move(say);
  writer.thread = std::thread([&writer] { runWriter(writer); });
}

void queueFlows(StoreWriter& writer, std::vector<StoredFlow>& records) {
  uint64_t refused = 0;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(writer.queueMutex);
    const size_t before = writer.queue.size();
    if (before == 0) writer.oldestQueued = std::chrono::steady_clock::now();
    for (StoredFlow& r : records) {
      const size_t bytes = queuedBytes(r);
      if (writer.queue.size() < writer.settings.queueCapacity &&
          writer.queueFill + bytes <= writer.settings.queueBytes) {
        writer.queueFill += bytes;
        writer.queue.push_back(std::move(r));
      } else {
        ++refused;
      }
    }
    wake = before == 0 || (before < writer.settings.batchRecords &&
                           writer.queue.size() >= writer.settings.batchRecords);
  }
  records.clear();
  if (refused > 0) writer.dropped += refused;
  if (wake) writer.queueChanged.notify_one();
}

size_t queuedBytes(const StoredFlow& record) {
  size_t bytes = sizeof(StoredFlow) + 16;
  if (record.owner) {
    bytes += sizeof(FlowOwner) + 32 + record.owner->processname.capacity() + record.owner->user.capacity() +
             record.owner->domain.capacity();
  }
  return bytes;
}

size_t queueDepth(StoreWriter& writer) {
  std::lock_guard<std::mutex> lock(writer.queueMutex);
  return writer.queue.size();
}

void finishStoreWriter(StoreWriter& writer) {
  {
    std::lock_guard<std::mutex> lock(writer.queueMutex);
    writer.finishing = true;
  }
  writer.queueChanged.notify_one();
  if (writer.thread.joinable()) writer.thread.join();
  writer.store.reset();
}

std::string storeReportLine(uint64_t stored, uint64_t dropped, uint64_t removed, uint32_t keepDays, size_t depth) {
  using std::to_string;
  std::string line = "vantrel-collect: last minute: " + to_string(stored) + " records stored, " +
                     to_string(dropped) + " dropped (queue full)";
  if (keepDays > 0) line += ", " + to_string(removed) + " removed (older than " + to_string(keepDays) + " days)";
  return line + "; queue depth " + to_string(depth) + "\n";
}
