#include "runtime/state.h"

std::atomic<bool> keepSniffing{false};
std::atomic<bool> keepSendingExports{true};
std::atomic<bool> snifferRunning{false};
std::atomic<bool> exporterRunning{false};
std::atomic<int32_t> snifferPacketCount{0};
std::atomic<int32_t> exportsSent{0};
