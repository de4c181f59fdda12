#include "platform/autostart.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tillcast::platform {
namespace {

TEST(XdgAutostart, SetWritesDesktopEntryAndDeleteRemovesIt) {
  test::TempDir dir;
  XdgAutostartStore store(dir.path());
  ASSERT_TRUE(store.SetRunValue(L"tillcast", L"\"/opt/Tillcast/AppLauncher\" /target=\"tillcast\""));
  const std::string text = test::ReadFile(dir.Sub("tillcast.desktop"));
  EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(text.find("\nExec=\"/opt/Tillcast/AppLauncher\" /target=\"tillcast\"\n"), std::string::npos);
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
  EXPECT_TRUE(store.DeleteRunValue(L"tillcast"));
  EXPECT_FALSE(test::FileExists(dir.Sub("tillcast.desktop")));
  EXPECT_TRUE(store.DeleteRunValue(L"tillcast"));  // already gone: still true
}

TEST(XdgAutostart, FailsCleanlyWithoutAWritableFolder) {
  test::TempDir dir;
  XdgAutostartStore missing(dir.Sub("no/such/folder"));
  EXPECT_FALSE(missing.SetRunValue(L"tillcast", L"x"));
  EXPECT_FALSE(missing.DeleteRunValue(L"tillcast"));
}

}  // namespace
}  // namespace tillcast::platform
