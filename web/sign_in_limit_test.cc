#include "web/sign_in_limit.h"

#include <gtest/gtest.h>

namespace {

TEST(SignInLimit, TenWrongAnswersInAMinuteSlowOneAddressForAMinute) {
  SignInLimits limits;
  const std::string guesser = "127.0.0.2", owner = "127.0.0.3";
  uint64_t now = 1'000'000;
  for (unsigned i = 1; i < kWrongAnswersAllowed; ++i) EXPECT_FALSE(noteWrongAnswer(limits, guesser, now + i)) << i;
  EXPECT_EQ(signInWaitSeconds(limits, guesser, now + 9), 0u) << "nine wrong answers are allowed";
  EXPECT_TRUE(noteWrongAnswer(limits, guesser, now + 10)) << "the tenth slows the address, said once";
  EXPECT_FALSE(noteWrongAnswer(limits, guesser, now + 11)) << "not said again within the minute";
  EXPECT_EQ(signInWaitSeconds(limits, guesser, now + 10), 60u);
  EXPECT_EQ(signInWaitSeconds(limits, guesser, now + 10 + kSlowedMillis - 1), 1u);
  EXPECT_EQ(signInWaitSeconds(limits, owner, now + 10), 0u) << "other addresses go on";
  EXPECT_EQ(signInWaitSeconds(limits, guesser, now + 10 + kSlowedMillis), 0u) << "free again after the minute";

  // After the minute the count starts afresh: nine more wrong answers do not slow it.
  now += 10 + kSlowedMillis;
  for (unsigned i = 1; i < kWrongAnswersAllowed; ++i) EXPECT_FALSE(noteWrongAnswer(limits, guesser, now + i)) << i;
  noteRightAnswer(limits, guesser);
  EXPECT_FALSE(noteWrongAnswer(limits, guesser, now + 20)) << "a right answer forgets the wrong ones";
}

TEST(SignInLimit, WrongAnswersSpreadOverMoreThanAMinuteDoNotSlow) {
  SignInLimits limits;
  for (unsigned i = 0; i < 3 * kWrongAnswersAllowed; ++i) {
    EXPECT_FALSE(noteWrongAnswer(limits, "10.0.0.1", i * 7000ull)) << "answer " << i;
  }
}

TEST(SignInLimit, TableDropsTheOldestAddress) {
  SignInLimits limits;
  for (unsigned i = 1; i < kWrongAnswersAllowed; ++i) noteWrongAnswer(limits, "first", i);
  for (size_t i = 0; i < kSignInTableSize; ++i) noteWrongAnswer(limits, "a" + std::to_string(i), 100);
  EXPECT_EQ(limits.byAddress.size(), kSignInTableSize);
  EXPECT_FALSE(noteWrongAnswer(limits, "first", 200)) << "its nine wrong answers went with it";
}

}  // namespace
