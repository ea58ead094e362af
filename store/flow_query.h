// `vantrel-collect query`: reading its command line into a FlowQuery, and
// writing the answer as a table, JSON lines or CSV. Pure functions apart
// from runQueryCommand, which opens the store; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/flow_store.h"

enum class QueryFormat { table, json, csv };

struct QueryCommand {
  std::string store;
  FlowQuery query;
  QueryFormat format = QueryFormat::table;
  bool help = false;
  std::string error;  // a usage error: which argument, and why
};

// Reads the arguments after "query"; `now` (ms) anchors relative times.
// False, with `out.error` naming the argument, on anything unreadable.
bool parseQueryArguments(const std::vector<std::string>& args, uint64_t now, QueryCommand& out);

// "90s", "30m", "1h", "2d", "1w" (that long before `now`), or a UTC date
// "2026-12-01" with an optional time "T08:00" or "T08:00:30" (a blank for
// the T, a trailing Z, both allowed). False for anything else.
bool parseTimeArgument(const std::string& text, uint64_t now, uint64_t& millis);

// An address or a prefix ("10.1.0.0/16", "2001:db8::/32") as the lowest and
// highest address it covers. False for anything else.
bool parsePeerArgument(const std::string& text, StoreAddress& low, StoreAddress& high);

// ms since 1970 as "2026-12-07 11:50:39" (UTC).
std::string utcText(uint64_t millis);

// The answer's text: the header (table and CSV), then one line per flow or
// top row.
std::string flowsHeader(QueryFormat format);
void appendFlowAnswer(const StoredFlow& flow, QueryFormat format, std::string& out);
std::string topAnswer(const std::vector<TopRow>& rows, TopKind kind, QueryFormat format);

// The usage text of the query command.
extern const char* const kQueryUsage;

// Runs the command: the answer to `out`, messages to `err`. Returns the exit
// status: 0 answered (even with nothing found), 2 usage error, 3 the store
// cannot be read.
int runQueryCommand(const std::vector<std::string>& args, const std::function<void(const std::string&)>& out,
                    const std::function<void(const std::string&)>& err);
