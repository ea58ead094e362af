// The collector's side of a store: a bounded queue that the receiving
// thread fills without ever waiting on the disk, and one writer thread that
// empties it into the store in batched transactions, removes records past
// their keeping time and reports once a minute. queueFlows is for the
// receiving thread; start and finish for the thread that owns the writer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/flow_store.h"

struct StoreWriterSettings {
  size_t queueCapacity = 500000;  // records waiting; more are dropped
  size_t queueBytes = 256u << 20; // and memory they may take (queuedBytes); more are dropped
  size_t batchRecords = 10000;    // at most this many records per transaction
  uint32_t batchMillis = 1000;    // and a queued record waits at most this long
  uint32_t keepDays = 30;         // records last seen longer ago are removed; 0: kept for ever
  size_t pruneBatch = 5000;       // removed per transaction
  uint32_t reportMillis = 60000;  // how often the counts are reported
};

struct StoreWriter {
  StoreWriterSettings settings;
  std::unique_ptr<FlowStore> store;  // the writer thread's alone while it runs
  std::function<void(const std::string&)> say;  // console lines; any thread

  std::mutex queueMutex;  // guards queue, queueFill, oldestQueued and finishing
  std::condition_variable queueChanged;
  std::deque<StoredFlow> queue;
  size_t queueFill = 0;   // queuedBytes of the records in queue
  std::chrono::steady_clock::time_point oldestQueued;  // when the queue last became non-empty
  bool finishing = false;

  std::atomic<uint64_t> stored{0};   // records written
  std::atomic<uint64_t> dropped{0};  // records refused by a full queue
  std::atomic<uint64_t> removed{0};  // records deleted as too old
  std::atomic<uint64_t> lost{0};     // records still unwritten when the writer gave up at the end
  std::thread thread;
};

// Starts the writer thread over `store`. `say` gets whole console lines.
void startStoreWriter(StoreWriter& writer, std::unique_ptr<FlowStore> store, const StoreWriterSettings& settings,
                      std::function<void(const std::string&)> say);

// Queues `records` (moved from, then cleared); those that find the queue
// full are counted as dropped. Takes the queue's lock only to append.
void queueFlows(StoreWriter& writer, std::vector<StoredFlow>& records);

// The memory one queued record takes, about: the record, its strings and
// the queue's bookkeeping.
size_t queuedBytes(const StoredFlow& record);

// Records waiting in the queue now.
size_t queueDepth(StoreWriter& writer);

// Lets the writer store everything queued, then ends its thread and closes
// the store. When the store keeps failing, gives up after a few tries and
// counts what is left as lost.
void finishStoreWriter(StoreWriter& writer);

// The once-a-minute line.
std::string storeReportLine(uint64_t stored, uint64_t dropped, uint64_t removed, uint32_t keepDays, size_t depth);
