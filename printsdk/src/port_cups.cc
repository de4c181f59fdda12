// A CUPS queue: each document becomes one raw job, streamed as it is written.
#include <cups/cups.h>

#include <cerrno>

#include "port.h"

namespace possdk {
namespace {

constexpr int kConnectTimeoutMs = 5000;

struct HttpClose {
  void operator()(http_t* h) const { httpClose(h); }
};
using Http = std::unique_ptr<http_t, HttpClose>;

class QueuePort final : public Port {
 public:
  QueuePort(Http http, std::string queue) : http_(std::move(http)), queue_(std::move(queue)) {}
  ~QueuePort() override { Close(); }

  bool StartDoc() override {
    if (job_ != 0) return true;
    const int job = cupsCreateJob(http_.get(), queue_.c_str(), "tillcast receipt", 0, nullptr);
    if (job <= 0) {
      errno = EIO;
      return false;
    }
    if (cupsStartDocument(http_.get(), queue_.c_str(), job, "receipt", CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE) {
      cupsCancelJob2(http_.get(), queue_.c_str(), job, 0);
      errno = EIO;
      return false;
    }
    job_ = job;
    return true;
  }

  bool EndDoc() override {
    if (job_ == 0) return true;
    job_ = 0;
    // 0x0000..0x00FF are the successful IPP status codes.
    if (static_cast<int>(cupsFinishDocument(http_.get(), queue_.c_str())) >= 0x100) {
      errno = EIO;
      return false;
    }
    return true;
  }

  // Bytes written outside StartDoc/EndDoc open a document of their own,
  // ended by EndDoc or Close.
  bool Write(const uint8_t* data, size_t length) override {
    if (length == 0) return true;
    if (!StartDoc()) return false;
    if (cupsWriteRequestData(http_.get(), reinterpret_cast<const char*>(data), length) != HTTP_STATUS_CONTINUE) {
      errno = EIO;
      return false;
    }
    return true;
  }

  long Read(uint8_t*, size_t, int) override {
    errno = EOPNOTSUPP;
    return -1;
  }

  bool Close() override {
    if (!http_) return true;
    const bool ok = EndDoc();
    http_.reset();
    return ok;
  }

 private:
  Http http_;
  std::string queue_;
  int job_ = 0;
};

}  // namespace

std::unique_ptr<Port> OpenQueuePort(const std::string& queue) {
  if (queue.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, kConnectTimeoutMs, nullptr));
  if (!http) {
    if (errno == 0) errno = ECONNREFUSED;
    return nullptr;
  }
  cups_dest_t* dest = cupsGetNamedDest(http.get(), queue.c_str(), nullptr);
  if (dest == nullptr) {
    errno = ENOENT;
    return nullptr;
  }
  cupsFreeDests(1, dest);
  return std::make_unique<QueuePort>(std::move(http), queue);
}

}  // namespace possdk
