#include "store/store_writer.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// A store in memory whose writes can be held back or made to fail.
struct FakeStore {
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  bool open = true;     // writes go through
  bool failing = false; // writes fail
  std::vector<size_t> batches;
  uint64_t records = 0;

  std::unique_ptr<FlowStore> make() {
    auto store = std::make_unique<FlowStore>();
    store->write = [this](const std::vector<StoredFlow>& batch, std::string& error) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return open; });
      if (failing) {
        error = "disk full";
        return false;
      }
      batches.push_back(batch.size());
      records += batch.size();
      changed.notify_all();
      return true;
    };
    store->prune = [](uint64_t, size_t, size_t& removed, std::string&) {
      removed = 0;
      return true;
    };
    return store;
  }
  void setOpen(bool value) {
    std::lock_guard<std::mutex> lock(mutex);
    open = value;
    changed.notify_all();
  }
  bool waitForRecords(uint64_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 5s, [&] { return records >= n; });
  }
};

// Console lines, collected from the writer's thread.
struct Lines {
  std::mutex mutex;  // guards text
  std::string text;
  std::function<void(const std::string&)> sink() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex);
      text += line;
    };
  }
  std::string get() {
    std::lock_guard<std::mutex> lock(mutex);
    return text;
  }
};

void queue(StoreWriter& writer, size_t n) {
  std::vector<StoredFlow> records(n);
  queueFlows(writer, records);
  EXPECT_TRUE(records.empty());
}

TEST(StoreWriter, FullQueueDropsAndCountsWhileTheDiskIsSlowThenEverythingQueuedIsStored) {
  FakeStore fake;
  Lines lines;
  StoreWriter writer;
  StoreWriterSettings settings;
  settings.queueCapacity = 100;
  settings.batchRecords = 40;
  settings.batchMillis = 20;
  settings.reportMillis = 200;
  fake.setOpen(false);
  startStoreWriter(writer, fake.make(), settings, lines.sink());
  queue(writer, 40);  // one batch: the writer takes it and waits on the disk
  ASSERT_TRUE([&] {
    for (int i = 0; i < 500 && queueDepth(writer) != 0; ++i) std::this_thread::sleep_for(10ms);
    return queueDepth(writer) == 0;
  }());
  queue(writer, 130);  // 100 fit, 30 do not
  EXPECT_EQ(writer.dropped, 30u);
  EXPECT_EQ(queueDepth(writer), 100u);
  std::this_thread::sleep_for(300ms);  // a report is due, once the write returns
  fake.setOpen(true);
  ASSERT_TRUE(fake.waitForRecords(140));
  queue(writer, 5);
  finishStoreWriter(writer);
  EXPECT_EQ(writer.stored, 145u);
  EXPECT_EQ(writer.lost, 0u);
  for (size_t b : fake.batches) EXPECT_LE(b, 40u);
  EXPECT_NE(lines.get().find("vantrel-collect: last minute: 40 records stored, 30 dropped (queue full), 0 removed "
                             "(older than 30 days); queue depth 100\n"),
            std::string::npos)
      << lines.get();
}

TEST(StoreWriter, TheQueueIsBoundedInBytesToo) {
  FakeStore fake;
  Lines lines;
  StoreWriter writer;
  StoreWriterSettings settings;
  settings.batchRecords = 1000;
  settings.queueBytes = 1 << 20;
  fake.setOpen(false);
  startStoreWriter(writer, fake.make(), settings, lines.sink());
  std::vector<StoredFlow> records(100);
  for (StoredFlow& r : records) r.owner = makeOwner(std::string(21700, 'p'), "u", "d");
  const size_t each = queuedBytes(records[0]);
  EXPECT_GE(each, 21700u);
  queueFlows(writer, records);
  EXPECT_EQ(queueDepth(writer), settings.queueBytes / each);
  EXPECT_EQ(writer.dropped, 100 - settings.queueBytes / each);
  fake.setOpen(true);
  finishStoreWriter(writer);
  EXPECT_EQ(writer.stored, settings.queueBytes / each);
}

TEST(StoreWriter, AFailingStoreKeepsTheBatchSaysSoOnceAndCountsWhatIsLostAtTheEnd) {
  FakeStore fake;
  fake.failing = true;
  Lines lines;
  StoreWriter writer;
  StoreWriterSettings settings;
  settings.batchMillis = 10;
  startStoreWriter(writer, fake.make(), settings, lines.sink());
  queue(writer, 7);
  std::this_thread::sleep_for(1200ms);  // a few tries
  {
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.failing = false;
  }
  ASSERT_TRUE(fake.waitForRecords(7));
  {
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.failing = true;
  }
  queue(writer, 3);
  finishStoreWriter(writer);
  EXPECT_EQ(writer.stored, 7u);
  EXPECT_EQ(writer.lost, 3u);
  const std::string failed =
      "vantrel-collect: cannot write to the store: disk full; the records wait in the queue and the write is tried "
      "again\n";
  EXPECT_EQ(lines.get(), failed + "vantrel-collect: writing to the store again\n" + failed);
}

}  // namespace
