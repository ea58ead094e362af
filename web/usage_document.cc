#include "web/usage_document.h"

#include "runtime/console.h"
#include "web/flow_selection.h"

namespace {

using Json::StaticString;

constexpr uint64_t kDefaultRange = 3600 * 1000;

void readTime(const ArgumentLookup& lookup, const char* name, uint64_t& out) {
  const char* text = lookup(name);
  if (text == nullptr) return;
  uint64_t value = 0;
  // Milliseconds since 1970: digits only, up to the year 33658.
  if (readWholeNumber(text, 999'999'999'999'999, value) && value > 0) out = value;
  else consolePrintf("%s %s is not a time in milliseconds since 1970; ignored\n", name, text);
}

void readText(const ArgumentLookup& lookup, const char* name, std::string& out) {
  if (const char* text = lookup(name)) out = text;
}

}  // namespace

UsageRequest readUsageRequest(const ArgumentLookup& lookup) {
  UsageRequest r;
  readTime(lookup, "since", r.since);
  readTime(lookup, "until", r.until);
  if (const char* text = lookup("by")) {
    if (!usageByFromName(text, r.by)) consolePrintf("by %s is not one of process, peer, service, port, user; ignored\n", text);
  }
  if (const char* text = lookup("limit")) {
    uint64_t value = 0;
    if (readWholeNumber(text, 1000, value) && value >= 1) r.limit = static_cast<size_t>(value);
    else consolePrintf("limit %s is not a whole number from 1 to 1000; ignored\n", text);
  }
  if (const char* text = lookup("port")) {
    uint64_t value = 0;
    if (readWholeNumber(text, 65535, value)) r.port = static_cast<int>(value);
    else consolePrintf("port %s is not a port number; ignored\n", text);
  }
  readText(lookup, "process", r.process);
  readText(lookup, "peer", r.peer);
  readText(lookup, "service", r.service);
  readText(lookup, "host", r.host);
  return r;
}

UsageQuery usageQueryOf(const UsageRequest& r, uint64_t now) {
  UsageQuery q;
  q.until = r.until != 0 ? r.until : now;
  q.since = r.since != 0 ? r.since : (q.until > kDefaultRange ? q.until - kDefaultRange : 0);
  if (q.since >= q.until) {
    consolePrintf("since %llu is not before until %llu; the hour before until instead\n",
                  static_cast<unsigned long long>(q.since), static_cast<unsigned long long>(q.until));
    q.since = q.until > kDefaultRange ? q.until - kDefaultRange : 0;
  }
  q.step = usageStep(q.since, q.until);
  q.since -= q.since % q.step;
  q.by = r.by;
  q.limit = r.limit;
  q.process = r.process;
  q.peer = r.peer;
  q.service = r.service;
  q.port = r.port;
  q.host = r.host;
  return q;
}

Json::Value usageToJson(const UsageQuery& q, const UsageAnswer& answer, const std::string& error) {
  Json::Value usage(Json::objectValue);
  usage[StaticString("since")] = Json::UInt64(q.since);
  usage[StaticString("until")] = Json::UInt64(q.until);
  usage[StaticString("step")] = Json::UInt64(q.step);
  usage[StaticString("by")] = usageByName(q.by);
  Json::Value& top = usage[StaticString("top")] = Json::Value(Json::arrayValue);
  for (const UsageTotal& t : answer.top) {
    Json::Value row(Json::objectValue);
    row[StaticString("key")] = t.key;
    row[StaticString("bytes")] = Json::UInt64(t.bytes);
    row[StaticString("pkts")] = Json::UInt64(t.pkts);
    row[StaticString("flows")] = Json::UInt64(t.flows);
    top.append(row);
  }
  Json::Value& series = usage[StaticString("series")] = Json::Value(Json::arrayValue);
  for (const UsageSeries& s : answer.series) {
    Json::Value one(Json::objectValue);
    one[StaticString("key")] = s.key;
    Json::Value& bytes = one[StaticString("bytes")] = Json::Value(Json::arrayValue);
    for (uint64_t b : s.bytes) bytes.append(Json::UInt64(b));
    series.append(one);
  }
  if (!error.empty()) usage[StaticString("error")] = error;
  return usage;
}

Json::Value usageDocument(const UsageRequest& request, uint64_t now) {
  const UsageQuery query = usageQueryOf(request, now);
  UsageAnswer answer;
  std::string error;
  if (!askUsage(query, answer, error)) {
    answer = UsageAnswer();
    if (error.empty()) error = "history is off";
  }
  return usageToJson(query, answer, error);
}
