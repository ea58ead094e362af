// Answers of the two HTTP servers counted by status code, for the metrics.
// Any thread: the counts are atomics.
#pragma once

#include <microhttpd.h>

#include <cstdint>
#include <utility>
#include <vector>

enum class HttpServer : uint8_t { web, metrics };

// Queues `response` with `status` and counts it when queued.
MHD_Result queueCounted(HttpServer server, MHD_Connection* connection, unsigned status, MHD_Response* response);

// Answers counted so far, by status code (100 to 599), lowest first; codes
// in `always` are listed even while their count is 0.
std::vector<std::pair<unsigned, uint64_t>> answerCounts(HttpServer server, const std::vector<unsigned>& always);
