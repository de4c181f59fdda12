// A fresh data folder, configuration, log and skin folder per window test,
// with message boxes answered by the test.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include <QString>

#include "app/text_util.h"
#include "data/data_mgr.h"
#include "support/test_support.h"
#include "ui/toolkit.h"
#include "ui_test_util.h"

namespace tillcast::test {

class UiFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApp();
    ResetDataFolderForTest();
    data().ResetForTest();
    ui::SetMessageBoxHandler([this](const QString& text, const QString& caption) {
      std::lock_guard<std::mutex> l(box_lock_);
      boxes_.push_back(caption + QStringLiteral("|") + text);
    });
    ui::SetTrayAvailableForTest(1);
  }
  void TearDown() override {
    PumpFor(20);  // deferred deletions
    ui::SetMessageBoxHandler(nullptr);
    ui::SetTrayAvailableForTest(-1);
    data().ResetForTest();
    ResetDataFolderForTest();
  }
  std::vector<QString> Boxes() {
    std::lock_guard<std::mutex> l(box_lock_);
    return boxes_;
  }
  static DataMgr& data() { return DataMgr::GetInstance(); }

  TempDir dir_;
  ScopedEnv data_env_{"XDG_DATA_HOME", dir_.Sub("data")};
  ScopedEnv config_env_{"XDG_CONFIG_HOME", dir_.Sub("config")};
  ScopedEnv spool_env_{"TILLCAST_SPOOL_DIR", dir_.Sub("spool")};
  ScopedEnv cups_env_{"TILLCAST_CUPS_INBOX", dir_.Sub("cups-inbox")};
  ScopedLog log_;
  SkinCopy skin_;
  std::mutex box_lock_;
  std::vector<QString> boxes_;
};

}  // namespace tillcast::test
