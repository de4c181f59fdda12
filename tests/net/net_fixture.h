// A fresh data folder, DataMgr, log and cloud settings for each test.
#pragma once

#include <gtest/gtest.h>

#include "base/process_settings.h"
#include "base/text_util.h"
#include "data/data_mgr.h"
#include "net/cloud_settings.h"
#include "net/rest_client.h"
#include "support/test_support.h"

namespace tillcast::test {

class NetFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDataFolderForTest();
    data().ResetForTest();
    SetCloudSettings(CloudSettings());
    GetProcessSettings() = ProcessSettings();
    data().SetConfig("PortName", "COM1");
    data().SetConfig("Version", "1.1.4.26");
    data().SetConfig("DeviceFormat", "escpos");
  }
  void TearDown() override {
    RestClient::SetRequestTimeoutForTest(5);
    GetProcessSettings() = ProcessSettings();
    SetCloudSettings(CloudSettings());
    data().ResetForTest();
    ResetDataFolderForTest();
  }
  static DataMgr& data() { return DataMgr::GetInstance(); }

  TempDir dir_;
  ScopedEnv env_{"XDG_DATA_HOME", dir_.path()};
  ScopedLog log_;
};

}  // namespace tillcast::test
