// A ClickHouse server of the test's own: Debian's clickhouse-server on free
// local ports with its data in a temporary folder, started and stopped by
// the test. Tests skip, with a message, where it is not installed.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/system_test.h"

struct ClickHouseServer {
  ClickHouseServer();
  ~ClickHouseServer();
  bool installed() const;
  // Starts the server (again, with the same data and ports after stop);
  // true once it answers.
  bool start();
  void stop();
  // Runs one SQL statement over HTTP; its answer ("" on failure).
  std::string query(const std::string& sql) const;
  std::string url(const std::string& database) const {
    return "clickhouse://127.0.0.1:" + std::to_string(httpPort) + "/" + database;
  }
  TempDir dir;
  uint16_t httpPort = 0, tcpPort = 0;
  ChildProcess process;
};

#define REQUIRE_CLICKHOUSE(server)                                                  \
  do {                                                                              \
    if (!(server).installed()) GTEST_SKIP() << "needs clickhouse-server (install-deps.sh --test)"; \
  } while (0)
