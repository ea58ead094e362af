// Slows down password guessing on the web interface: a client address that
// gives 10 wrong Digest answers within a minute is turned away for the next
// minute; other addresses are not affected. Any thread: the table holds its
// own lock.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

inline constexpr unsigned kWrongAnswersAllowed = 10;
inline constexpr uint64_t kWrongAnswerWindowMillis = 60000;
inline constexpr uint64_t kSlowedMillis = 60000;
// At most this many addresses are remembered; the oldest goes first.
inline constexpr size_t kSignInTableSize = 4096;

struct WrongAnswers {
  uint64_t firstAt = 0;      // first wrong answer of the current window, ms since 1970
  unsigned count = 0;        // wrong answers since firstAt
  uint64_t slowedUntil = 0;  // turned away before this time; 0 when not slowed
  std::list<std::string>::iterator place;  // in SignInLimits::order
};

struct SignInLimits {
  std::mutex mutex;  // guards byAddress and order
  std::unordered_map<std::string, WrongAnswers> byAddress;
  std::list<std::string> order;  // oldest first
};

// 0 when `address` may try to sign in at `now`; otherwise how many whole
// seconds (at least 1) it must wait.
uint64_t signInWaitSeconds(SignInLimits& limits, const std::string& address, uint64_t now);

// Counts a wrong answer from `address`. True when this one makes it slowed
// (once per address and slowed minute).
bool noteWrongAnswer(SignInLimits& limits, const std::string& address, uint64_t now);

// A right answer: `address` starts afresh.
void noteRightAnswer(SignInLimits& limits, const std::string& address);
