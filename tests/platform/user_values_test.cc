#include "platform/user_values.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tillcast::platform {
namespace {

TEST(UserValues, WriteThenReadUnderPrivateFile) {
  test::TempDir dir;
  PosixUserValueStore store(dir.path());
  std::string v = "unchanged";
  EXPECT_FALSE(store.Read("Software\\Zellora", "devicekey", &v));
  EXPECT_EQ(v, "unchanged");
  ASSERT_TRUE(store.Write("Software\\Zellora", "devicekey", "KEY-123"));
  ASSERT_TRUE(store.Read("Software\\Zellora", "devicekey", &v));
  EXPECT_EQ(v, "KEY-123");
  const std::string path = store.PathOf("Software\\Zellora", "devicekey");
  EXPECT_EQ(path, dir.path() + "/Zellora/devicekey");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(UserValues, EmptyValueReadsAsEmptyNotMissing) {
  test::TempDir dir;
  PosixUserValueStore store(dir.path());
  ASSERT_TRUE(store.Write("Software\\Zellora", "devicekey", "old"));
  ASSERT_TRUE(store.Write("Software\\Zellora", "devicekey", ""));
  std::string v = "x";
  EXPECT_TRUE(store.Read("Software\\Zellora", "devicekey", &v));
  EXPECT_EQ(v, "");
}

TEST(UserValues, ValueLongerThanTheBufferFailsToRead) {
  test::TempDir dir;
  PosixUserValueStore store(dir.path());
  ASSERT_TRUE(store.Write("Software\\Zellora", "devicekey", std::string(kMaxUserValueBytes, 'k')));
  std::string v;
  EXPECT_TRUE(store.Read("Software\\Zellora", "devicekey", &v));
  EXPECT_EQ(v.size(), kMaxUserValueBytes);
  ASSERT_TRUE(store.Write("Software\\Zellora", "devicekey", std::string(kMaxUserValueBytes + 1, 'k')));
  EXPECT_FALSE(store.Read("Software\\Zellora", "devicekey", &v));
}

}  // namespace
}  // namespace tillcast::platform
