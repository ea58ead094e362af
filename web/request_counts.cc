#include "web/request_counts.h"

#include <algorithm>
#include <atomic>

namespace {

constexpr unsigned kFirstCode = 100, kCodes = 500;
std::atomic<uint64_t> answers[2][kCodes];

void count(HttpServer server, unsigned status) {
  if (status >= kFirstCode && status < kFirstCode + kCodes) {
    answers[static_cast<size_t>(server)][status - kFirstCode].fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

MHD_Result queueCounted(HttpServer server, MHD_Connection* connection, unsigned status, MHD_Response* response) {
  const MHD_Result ret = MHD_queue_response(connection, status, response);
  if (ret == MHD_YES) count(server, status);
  return ret;
}

std::vector<std::pair<unsigned, uint64_t>> answerCounts(HttpServer server, const std::vector<unsigned>& always) {
  std::vector<std::pair<unsigned, uint64_t>> out;
  for (unsigned i = 0; i < kCodes; ++i) {
    const uint64_t n = answers[static_cast<size_t>(server)][i].load(std::memory_order_relaxed);
    const unsigned code = kFirstCode + i;
    if (n != 0 || std::find(always.begin(), always.end(), code) != always.end()) out.emplace_back(code, n);
  }
  return out;
}
