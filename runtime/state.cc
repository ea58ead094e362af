#include "runtime/state.h"

std::atomic<bool> keepSniffing{false};
std::atomic<bool> keepSendingExports{true};
std::atomic<bool> snifferRunning{false};
std::atomic<bool> exporterRunning{false};
std::atomic<int32_t> snifferPacketCount{0};
std::atomic<int32_t> exportsSent{0};
std::atomic<uint64_t> snifferPacketsDropped{0};
std::atomic<uint64_t> snifferPacketsMalformed{0};
std::atomic<uint64_t> nameTableNames{0};
std::atomic<uint64_t> nameTableAnswers{0};
std::atomic<uint64_t> nameTableUnsolicited{0};
std::atomic<uint64_t> nameTableMalformed{0};
std::atomic<uint64_t> nameTableEvicted{0};
std::atomic<uint64_t> exportRecordsSent{0};
std::atomic<uint64_t> exportsDropped{0};
std::atomic<uint64_t> exportsSkippedIPv6{0};

CaptureStatus captureStatus;
std::mutex captureStatusMutex;

const char* captureStateName(CaptureState state) {
  switch (state) {
    case CaptureState::kOff: return "off";
    case CaptureState::kStarting: return "starting";
    case CaptureState::kCapturing: return "capturing";
    case CaptureState::kFailing: return "failing";
    case CaptureState::kStopped: return "stopped";
  }
  return "unknown";
}

void setCaptureStatus(CaptureState state, const std::string& error) {
  std::lock_guard<std::mutex> lock(captureStatusMutex);
  captureStatus.state = state;
  captureStatus.error = error;
}

CaptureStatus captureStatusSnapshot() {
  std::lock_guard<std::mutex> lock(captureStatusMutex);
  return captureStatus;
}
