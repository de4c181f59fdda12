// Where an installation keeps what it writes: a build folder keeps today's
// layout, an installed agent uses the user's folders.
#include "base/install_layout.h"

#include <gtest/gtest.h>

#include "base/text_util.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

class InstallLayout : public ::testing::Test {
 protected:
  void SetUp() override { ResetDataFolderForTest(); }
  void TearDown() override {
    SetPerUserInstallationForTest(-1);
    ResetDataFolderForTest();
  }
  test::TempDir dir_;
  test::ScopedEnv data_{"XDG_DATA_HOME", dir_.Sub("data")};
  test::ScopedEnv state_{"XDG_STATE_HOME", dir_.Sub("state")};
  test::ScopedEnv logs_{"TILLCAST_LOG_DIR", ""};
};

TEST_F(InstallLayout, AWritableFolderWithoutThePackagesMarkerIsABuildFolder) {
  // The tests run from the build folder, which has no marker.
  EXPECT_FALSE(PerUserInstallation());
}

TEST_F(InstallLayout, ABuildFolderKeepsItsLogAndLogoBesideTheProgram) {
  SetPerUserInstallationForTest(0);
  EXPECT_EQ(ResolveLogFolder(), GetModuleFolder() + "/logs");
  EXPECT_EQ(StoreLogoFilePath(), GetModuleFolder() + "/skin/StoreLogo.png");
}

TEST_F(InstallLayout, AnInstalledAgentUsesTheUsersStateAndDataFolders) {
  SetPerUserInstallationForTest(1);
  EXPECT_EQ(UserStateFolder(), dir_.Sub("state/Tillcast"));
  EXPECT_EQ(ResolveLogFolder(), dir_.Sub("state/Tillcast/logs"));
  EXPECT_EQ(StoreLogoFilePath(), dir_.Sub("data/Tillcast/StoreLogo.png"));
}

TEST_F(InstallLayout, TheLogFolderOverrideWinsInBothLayouts) {
  test::ScopedEnv logs("TILLCAST_LOG_DIR", dir_.Sub("mine"));
  for (int per_user : {0, 1}) {
    SetPerUserInstallationForTest(per_user);
    EXPECT_EQ(ResolveLogFolder(), dir_.Sub("mine"));
  }
}

TEST_F(InstallLayout, TheStateFolderDefaultsUnderTheHomeFolder) {
  test::ScopedEnv home("HOME", dir_.Sub("home"));
  test::ScopedEnv state("XDG_STATE_HOME", "");
  EXPECT_EQ(UserStateFolder(), dir_.Sub("home/.local/state/Tillcast"));
}

}  // namespace
}  // namespace tillcast
