#include "base/system_integration.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tillcast {
namespace {

TEST(SystemIntegration, DeviceKeyRoundTripAndEmptyKey) {
  test::TempDir dir;
  platform::PosixUserValueStore store(dir.path());
  SetUserValueStoreForTest(&store);
  std::string key = "untouched";
  EXPECT_FALSE(ReadDeviceKey(key));  // no value yet
  EXPECT_EQ(key, "untouched");
  EXPECT_TRUE(WriteDeviceKey("K-77"));
  EXPECT_TRUE(ReadDeviceKey(key));
  EXPECT_EQ(key, "K-77");
  EXPECT_TRUE(WriteDeviceKey(""));
  EXPECT_TRUE(ReadDeviceKey(key));
  EXPECT_EQ(key, "");
  EXPECT_TRUE(WriteDeviceKey(std::string(platform::kMaxUserValueBytes + 1, 'x')));
  EXPECT_FALSE(ReadDeviceKey(key));
  SetUserValueStoreForTest(nullptr);
}

TEST(SystemIntegration, RunValueSetAndDeleteLeaveNoEntry) {
  test::TempDir dir;
  platform::XdgAutostartStore store(dir.path());
  SetAutostartStoreForTest(&store);
  EXPECT_TRUE(SetRunValue(L"tillcast", L"\"/opt/AppLauncher\" /target=\"tillcast\""));
  EXPECT_TRUE(test::FileExists(dir.Sub("tillcast.desktop")));
  EXPECT_TRUE(DeleteRunValue(L"tillcast"));
  EXPECT_FALSE(test::FileExists(dir.Sub("tillcast.desktop")));
  EXPECT_TRUE(DeleteRunValue(L"tillcast"));
  SetAutostartStoreForTest(nullptr);
}

}  // namespace
}  // namespace tillcast
