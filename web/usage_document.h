// The `usage` member of the status document: what the history says each
// program, peer, service, port or user sent and received over a range.
// Web server connection threads.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "runtime/history_usage.h"
#include "web/settings_request.h"

// The arguments as given; 0 for since and until: the default (the hour
// before the request).
struct UsageRequest {
  uint64_t since = 0;
  uint64_t until = 0;
  UsageBy by = UsageBy::process;
  size_t limit = 10;
  std::string process, peer, service;
  int port = -1;
  std::string host;  // the collector's: an exporter's address; "": all
};

// Reads since, until, by, limit, process, peer, port, service and host. An
// unusable value prints one console line and keeps its default.
UsageRequest readUsageRequest(const ArgumentLookup& lookup);

// The question a request asks at `now`: the range completed and aligned
// to its step.
UsageQuery usageQueryOf(const UsageRequest& request, uint64_t now);

// The member: since, until, step, by, top and series; with `error` instead
// of empty lists when the history cannot answer.
Json::Value usageToJson(const UsageQuery& query, const UsageAnswer& answer, const std::string& error);

// Asks the history and makes the member.
Json::Value usageDocument(const UsageRequest& request, uint64_t now);
