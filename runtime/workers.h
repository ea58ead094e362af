// The two workers, capture and export, as one table: the setting that turns
// each on, its run-state flags and the console words that name it. Every
// sequence done for both (supervising, the restart a settings request asks
// for, the orderly stop) is written once over this table. Any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "runtime/repeats.h"

struct Worker {
  const char* settingKey;           // "listenerIP", "receiverIP": "0.0.0.0" turns it off
  std::atomic<bool>& keep;          // the run may go on
  std::atomic<bool>& running;       // a run is active
  const char* onLine;               // supervisor, before a run (value follows)
  const char* offLine;              // supervisor, while off (value follows)
  const char* restartLines;         // restart: before the stop request
  const char* waitMark;             // restart: every 10 ms while it stops
  const char* restartedLine;        // restart: once it has stopped
  // Supervisor: a run that fails in its set-up as the last one did, once a
  // minute (its reason and the count of retries follow). Null when the
  // worker's set-up failures end the process instead.
  const char* retryLine;
  RepeatGate& repeats;              // the supervisor's repeated lines
};

extern const Worker captureWorker;
extern const Worker exportWorker;
// Capture first, then export: the order of every sequence over both.
inline const Worker* const kWorkers[] = {&captureWorker, &exportWorker};

// Quiet retries, on the supervisor's thread. A pass that runs the worker
// holds its lines (holdRunLines) until the run lets them through
// (consoleRelease, once its set-up went through). When the run returned
// without that, showRunLines shows them in full if they differ from the last
// failure's; the same again is counted, and at most once a minute one
// retryLine with the count is shown instead. A run that started makes the
// next failure show in full.
void holdRunLines(const Worker& w);
void showRunLines(const Worker& w, uint64_t now);

// The supervisor's line while the worker is off, under the same rule: in
// full the first time, then at most once a minute with the count.
void showOffLine(const Worker& w, const std::string& line, uint64_t now);

// The restart a settings request asks for: the run is told to stop, the
// caller waits (printing waitMark every 10 ms) until it has, and the worker
// may run again; its supervisor starts the next run after its pause.
void restartWorker(const Worker& w);

// Tells the run to stop and waits up to `timeoutMs` for it, clearing `keep`
// at every poll in case the supervisor set it just before it saw the stop.
// False on time-out.
bool stopWorker(const Worker& w, uint32_t timeoutMs);
