// The store as a table in a ClickHouse database, reached over its HTTP
// interface: clickhouse://[USER[:PASSWORD]@]HOST[:PORT]/DATABASE (port 8123
// when left out; HOST a name, an IPv4 address or [IPv6]).
#pragma once

#include <memory>
#include <string>

#include "store/flow_store.h"

inline constexpr const char* kClickHouseScheme = "clickhouse://";
// Records per insert: the server makes one part of each, to merge later.
inline constexpr size_t kClickHouseBatchRecords = 100000;

// Where a ClickHouse store lives.
struct ClickHouseLocation {
  std::string host;
  uint16_t port = 8123;
  std::string database;
  std::string user, password;  // empty: the server's default user
};

// Reads a clickhouse:// location; false with the reason for anything else.
bool parseClickHouseLocation(const std::string& text, ClickHouseLocation& where, std::string& error);

// The table to create in each database that collectors write into.
std::string clickHouseTableDefinition(const std::string& database);

// Connects to the server, checks that the database exists and creates the
// table when it is missing (when `forWriting`) or refuses a table that is not
// ours. Null on failure with `failure` and a one-line `error`.
std::unique_ptr<FlowStore> openClickHouseStore(const std::string& location, bool forWriting,
                                               StoreOpenFailure& failure, std::string& error);
