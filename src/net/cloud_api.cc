#include "net/cloud_api.h"

#include "net/net_mgr.h"

namespace tillcast {

bool NetMgrCloud::GetConnectionInfo() { return net_->GetConnectionInfo(); }
bool NetMgrCloud::CreateConnection() { return net_->CreateConnection(); }
bool NetMgrCloud::GetStoreLogo() { return net_->GetStoreLogo(); }
bool NetMgrCloud::RequestReceiptPrint(const std::string& code) { return net_->RequestReceiptPrint(code); }

CloudApi* NetMgrCloudApi() {
  static NetMgrCloud api(&NetMgr::GetInstance());
  return &api;
}

}  // namespace tillcast
