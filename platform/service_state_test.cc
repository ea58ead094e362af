#include "platform/service_state.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// Events: s starting, r started, x stop asked, e ended. After each event the
// state reported, as the SCM's number (1 stopped, 2 start pending, 3 stop
// pending, 4 running), or '-' when nothing is to be reported.
TEST(ServiceState, EventsGiveTheReportsTheServiceManagerExpects) {
  const std::map<char, ServiceEvent> events = {{'s', ServiceEvent::starting}, {'r', ServiceEvent::started},
                                               {'x', ServiceEvent::stopAsked}, {'e', ServiceEvent::ended}};
  const struct Case {
    const char* events;
    const char* reports;
    int exitStatus;
  } cases[] = {
      {"srxe", "2431", 0},    // start, run, stop
      {"srxxe", "243-1", 0},  // a second stop request changes nothing
      {"sxre", "23-1", 0},    // stopped during start-up: the end of start-up is not reported
      {"se", "21", 1},        // start-up fails
      {"seesx", "21---", 3},  // the end is reported once, and nothing after it
      {"rxe", "--1", 0},      // nothing before starting but the end
  };
  for (const Case& c : cases) {
    ServiceStatusReport status;
    for (size_t i = 0; c.events[i] != '\0'; ++i) {
      const std::string where = std::string(c.events) + " at " + c.events[i] + " (" + std::to_string(i) + ")";
      const bool reported = applyServiceEvent(status, events.at(c.events[i]), c.exitStatus);
      EXPECT_EQ(reported ? char('0' + static_cast<int>(status.state)) : '-', c.reports[i]) << where;
      EXPECT_EQ(status.acceptsStop, status.state == ServiceState::running) << where;
      const bool pending = status.state == ServiceState::startPending || status.state == ServiceState::stopPending;
      EXPECT_EQ(status.waitHintMillis > 0 && status.checkPoint > 0, pending) << where;
    }
    EXPECT_EQ(status.exitStatus, static_cast<uint32_t>(c.exitStatus)) << c.events;
  }
}

}  // namespace
