#include "platform/service_state.h"

#include <gtest/gtest.h>

namespace {

using E = ServiceEvent;
using S = ServiceState;

const char* name(E e) {
  switch (e) {
    case E::starting: return "starting";
    case E::started: return "started";
    case E::stopAsked: return "stopAsked";
    case E::ended: return "ended";
  }
  return "?";
}

// Each row: events in order, and after each whether it is reported and the
// state then; the last row's report is checked in full.
TEST(ServiceState, EventsGiveTheReportsTheServiceManagerExpects) {
  struct Step {
    E event;
    bool reported;
    S state;
  };
  const struct Case {
    const char* what;
    std::vector<Step> steps;
    int exitStatus;
  } cases[] = {
      {"start, run, stop", {{E::starting, true, S::startPending}, {E::started, true, S::running},
                            {E::stopAsked, true, S::stopPending}, {E::ended, true, S::stopped}}, 0},
      {"second stop request changes nothing", {{E::starting, true, S::startPending}, {E::started, true, S::running},
                                               {E::stopAsked, true, S::stopPending},
                                               {E::stopAsked, false, S::stopPending}}, 0},
      {"stop during start-up is not undone by the end of start-up",
       {{E::starting, true, S::startPending}, {E::stopAsked, true, S::stopPending},
        {E::started, false, S::stopPending}, {E::ended, true, S::stopped}}, 0},
      {"start-up fails", {{E::starting, true, S::startPending}, {E::ended, true, S::stopped}}, 1},
      {"ended once only", {{E::starting, true, S::startPending}, {E::ended, true, S::stopped},
                           {E::ended, false, S::stopped}, {E::starting, false, S::stopped},
                           {E::stopAsked, false, S::stopped}}, 3},
      {"nothing before starting", {{E::started, false, S::stopped}, {E::stopAsked, false, S::stopped}}, 0},
  };
  for (const Case& c : cases) {
    ServiceStatusReport status;
    std::string trail = c.what;
    for (const Step& step : c.steps) {
      trail += std::string(" > ") + name(step.event);
      EXPECT_EQ(applyServiceEvent(status, step.event, c.exitStatus), step.reported) << trail;
      EXPECT_EQ(status.state, step.state) << trail;
      EXPECT_EQ(status.acceptsStop, status.state == S::running) << trail;
      const bool pending = status.state == S::startPending || status.state == S::stopPending;
      EXPECT_EQ(status.waitHintMillis > 0, pending) << trail;
      EXPECT_EQ(status.checkPoint > 0, pending) << trail;
    }
    if (status.state == S::stopped && status.finished) {
      EXPECT_EQ(status.exitStatus, static_cast<uint32_t>(c.exitStatus)) << trail;
    }
  }
}

}  // namespace
