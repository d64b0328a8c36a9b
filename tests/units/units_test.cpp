// The pieces no run of the program reaches from outside in reasonable time.
#include <gtest/gtest.h>

#include <cerrno>

#include "driver/cleanup.h"
#include "support/fault_env.h"
#include "support/test_util.h"

namespace {

// The time line of a run of 100 hours or more, and of a clock set back.
TEST(ElapsedTime, HoursKeepAllTheirDigitsAndNegativeIsZero) {
  const struct {
    int64_t seconds;
    const char* text;
  } cases[] = {{0, "00:00:00"},      {59, "00:00:59"},          {3599, "00:59:59"},
               {3600, "01:00:00"},   {359999, "99:59:59"},      {360000, "100:00:00"},
               {-5, "00:00:00"},     {INT64_MAX, "2562047788015215:30:07"}};
  for (const auto& c : cases) {
    char text[kElapsedTextSize];
    ctimex(c.seconds, text, sizeof text);
    EXPECT_STREQ(text, c.text) << c.seconds;
  }
}

// The Env calls no job makes yet: a file written, synced, renamed and its
// directory synced, then removed, through the tests' Env, which sees each
// of them and can fail any.
TEST(Env, RenameAndDirectorySyncDoWhatTheSystemDoes) {
  kt::TempDir dir;
  kt::FaultEnv env;
  kt::FaultPlan plan;
  plan.classes = kt::kFaultMeta;
  env.SetPlan(plan);
  int fd = env.openFile(&env, dir.file("a").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(env.write(&env, fd, "abc", 3), 3);
  EXPECT_EQ(env.sync(&env, fd), 0);
  EXPECT_EQ(env.syncData(&env, fd), 0);
  EXPECT_EQ(env.close(&env, fd), 0);
  EXPECT_EQ(env.rename(&env, dir.file("a").c_str(), dir.file("b").c_str()), 0);
  EXPECT_EQ(env.syncDirectory(&env, dir.path().c_str()), 0);
  EXPECT_EQ(dir.list(), std::vector<std::string>{"b"});
  EXPECT_EQ(dir.read("b"), "abc");
  EXPECT_EQ(env.Calls(), 5u);
  EXPECT_NE(env.syncDirectory(&env, dir.file("b").c_str()), 0);  // not a directory
  EXPECT_EQ(errno, ENOTDIR);
  plan.failAt = 2;
  env.SetPlan(plan);
  EXPECT_EQ(env.rename(&env, dir.file("b").c_str(), dir.file("c").c_str()), 0);
  EXPECT_NE(env.syncDirectory(&env, dir.path().c_str()), 0);
  EXPECT_EQ(env.FiredCall(), "fsync(" + dir.path() + ")");
  EXPECT_EQ(env.unlink(&env, dir.file("c").c_str()), 0);
  EXPECT_EQ(dir.list(), std::vector<std::string>{});
}

}  // namespace
