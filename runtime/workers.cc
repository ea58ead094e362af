#include "runtime/workers.h"

#include <cinttypes>

#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/state.h"

namespace {

constexpr uint64_t kRepeatLineMillis = 60000;

RepeatGate captureRepeats;
RepeatGate exportRepeats;

// The last line of `text` that is not empty, without its line break.
std::string lastLine(const std::string& text) {
  const size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return std::string();
  const size_t before = text.find_last_of('\n', end);
  const size_t from = before == std::string::npos ? 0 : before + 1;
  return text.substr(from, end + 1 - from);
}

}  // namespace

const Worker captureWorker{
    "listenerIP",
    keepSniffing,
    snifferRunning,
    "Listening as ip is correct ",
    "Not listening as ip is incorrect ",
    "Re-Starting Sniffer\nStopping sniffer\n",
    "(ws)",
    "Stopped sniffer,restarting\n",
    "Capture still failing: %s (%" PRIu64 " retries since the last report)\n",
    captureRepeats,
};

const Worker exportWorker{
    "receiverIP",
    keepSendingExports,
    exporterRunning,
    "Exporting as ip is correct ",
    "Not exporting as ip is incorrect ",
    "Re-Starting Exporter\nStopping Exporter\n",
    "(we)",
    "Stopped Exporter,restarting\n",
    nullptr,
    exportRepeats,
};

void holdRunLines(const Worker& w) {
  if (w.retryLine != nullptr) consoleHold();
}

void showRunLines(const Worker& w, uint64_t now) {
  std::string held;
  if (!consoleEndHold(held)) {
    resetGate(w.repeats);
    return;
  }
  const RepeatVerdict v = passGate(w.repeats, held, now, kRepeatLineMillis);
  if (!v.show) return;
  if (v.again) {
    consolePrintf(w.retryLine, lastLine(held).c_str(), v.leftOut + 1);
  } else {
    consoleWrite(held);
  }
}

void showOffLine(const Worker& w, const std::string& line, uint64_t now) {
  const RepeatVerdict v = passGate(w.repeats, line, now, kRepeatLineMillis);
  if (!v.show) return;
  if (v.again) {
    consolePrintf("%s (%" PRIu64 " times since the last report)\n", lastLine(line).c_str(), v.leftOut + 1);
  } else {
    consoleWrite(line);
  }
}

void restartWorker(const Worker& w) {
  consoleWrite(w.restartLines);
  w.keep = false;
  while (w.running) {
    sleepMillis(10);
    consoleWrite(w.waitMark);
  }
  consoleWrite(w.restartedLine);
  w.keep = true;
}

bool stopWorker(const Worker& w, uint32_t timeoutMs) {
  for (uint32_t waited = 0;; waited += 10) {
    w.keep = false;
    if (!w.running) return true;
    if (waited >= timeoutMs) return false;
    sleepMillis(10);
  }
}
