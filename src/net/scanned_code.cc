#include "net/scanned_code.h"

#include <exception>
#include <utility>

#include "base/text_util.h"

namespace tillcast {

ScannedCode::ScannedCode(CloudApi* cloud, DebugSink debug) : cloud_(cloud), debug_(std::move(debug)) {}

void ScannedCode::Debug(const std::string& text) const {
  if (debug_) debug_(text);
}

std::optional<std::string> ScannedCode::Take(const std::wstring& code) const {
  Debug("Tillcast wnd RECEIVE_BARCODE_MSG authCode=");
  if (code.size() < 20 || code.size() > 22 || code[0] != L'R') return std::nullopt;
  std::string narrow;
  try {
    narrow = WideToCodePage(code, 0);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  Debug(narrow);
  Debug("\r\n");
  return narrow;
}

bool ScannedCode::PrintReceipt(const std::string& number) const { return cloud_->RequestReceiptPrint(number); }

}  // namespace tillcast
