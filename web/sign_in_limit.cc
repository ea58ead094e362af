#include "web/sign_in_limit.h"

uint64_t signInWaitSeconds(SignInLimits& limits, const std::string& address, uint64_t now) {
  std::lock_guard<std::mutex> lock(limits.mutex);
  const auto it = limits.byAddress.find(address);
  if (it == limits.byAddress.end() || now >= it->second.slowedUntil) return 0;
  return (it->second.slowedUntil - now + 999) / 1000;
}

bool noteWrongAnswer(SignInLimits& limits, const std::string& address, uint64_t now) {
  std::lock_guard<std::mutex> lock(limits.mutex);
  auto it = limits.byAddress.find(address);
  if (it == limits.byAddress.end()) {
    while (limits.order.size() >= kSignInTableSize) {
      limits.byAddress.erase(limits.order.front());
      limits.order.pop_front();
    }
    limits.order.push_back(address);
    it = limits.byAddress.emplace(address, WrongAnswers{}).first;
    it->second.place = std::prev(limits.order.end());
  } else {
    // The most recently wrong address is the last to be pushed out.
    limits.order.splice(limits.order.end(), limits.order, it->second.place);
  }
  WrongAnswers& wrong = it->second;
  if (wrong.slowedUntil != 0 && now < wrong.slowedUntil) return false;
  if (wrong.count == 0 || now - wrong.firstAt >= kWrongAnswerWindowMillis || wrong.slowedUntil != 0) {
    wrong = WrongAnswers{now, 0, 0, wrong.place};
  }
  if (++wrong.count < kWrongAnswersAllowed) return false;
  wrong.slowedUntil = now + kSlowedMillis;
  return true;
}

void noteRightAnswer(SignInLimits& limits, const std::string& address) {
  std::lock_guard<std::mutex> lock(limits.mutex);
  const auto it = limits.byAddress.find(address);
  if (it == limits.byAddress.end()) return;
  limits.order.erase(it->second.place);
  limits.byAddress.erase(it);
}
