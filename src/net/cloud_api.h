// What the windows ask of the cloud client, as one interface so tests can
// count calls where no cloud can answer. Implementations are thread-safe.
// (Captured receipts go to the cloud through the capture road's worker.)
#pragma once

#include <string>

namespace tillcast {

class NetMgr;

class CloudApi {
 public:
  virtual ~CloudApi() = default;
  virtual bool GetConnectionInfo() = 0;
  virtual bool CreateConnection() = 0;
  virtual bool GetStoreLogo() = 0;
  virtual bool RequestReceiptPrint(const std::string& code) = 0;
};

// A NetMgr (not owned; outlives this object).
class NetMgrCloud final : public CloudApi {
 public:
  explicit NetMgrCloud(NetMgr* net) : net_(net) {}
  bool GetConnectionInfo() override;
  bool CreateConnection() override;
  bool GetStoreLogo() override;
  bool RequestReceiptPrint(const std::string& code) override;

 private:
  NetMgr* net_;
};

// The process-wide NetMgr.
CloudApi* NetMgrCloudApi();

}  // namespace tillcast
