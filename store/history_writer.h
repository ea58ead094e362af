// The monitor's history writer: a worker that, once a minute (and when a
// usage question wants the latest numbers), counts what the open flows
// gained since it last looked and what the finished flows handed to it
// still held, and writes that as per-minute rows to the history file in one
// transaction, keeping the file within its bounds. Finished flows reach it
// through a bounded queue filled by whichever thread takes them from
// toExport; it never blocks that thread. startHistory and finishHistory are
// for the main thread; the rest for any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "flow/flow_record.h"

struct HistorySettings {
  std::string path = "vantrelhistory.sqlite";
  uint32_t days = 7;                       // 0: no history, no file
  uint64_t maxBytes = 200ull * 1024 * 1024;
  size_t queueCapacity = 200000;           // finished flows waiting; more are not counted
  uint64_t askedPassGapMillis = 10000;     // a usage question brings the file up to date unless a pass ran this recently
};

// historyDays and historyMaxMB from the settings (absent: 7 and 200; an
// unusable value keeps its default with one console line).
HistorySettings readHistorySettings();

// Starts the writer and answers usage questions from its file, unless
// `days` is 0. The file is opened on the writer's thread; a file that cannot
// be used leaves the monitor without history, saying why once a minute.
void startHistory(const HistorySettings& settings);

// Hands finished flows to the writer (copies); those that find the queue
// full are not counted.
void queueFinishedFlows(const FlowEntry* flows, size_t count);

// Counts what is still open or waiting for export, writes it and ends the
// writer. Capture must have stopped.
void finishHistory();
