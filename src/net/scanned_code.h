// A code from the barcode scanner: which codes name a receipt ("R" and 20
// to 22 characters in all), their narrow form, and asking the cloud to
// print the receipt they name. Other codes are dropped without a word.
//
// Threading: Take may run on any thread; PrintReceipt blocks on the
// network (keep it off the UI thread). The cloud client is not owned and
// outlives this object.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "net/cloud_api.h"

namespace tillcast {

class ScannedCode {
 public:
  // Where the scanner's diagnostics go, one piece of text at a time.
  using DebugSink = std::function<void(const std::string&)>;

  ScannedCode(CloudApi* cloud, DebugSink debug);

  // The receipt number a scanned code names, in the ANSI code page, or
  // nothing for any other code. Writes the diagnostics of the scan.
  std::optional<std::string> Take(const std::wstring& code) const;

  // Asks the cloud to print the receipt with this number.
  bool PrintReceipt(const std::string& number) const;

 private:
  void Debug(const std::string& text) const;

  CloudApi* cloud_;
  DebugSink debug_;
};

}  // namespace tillcast
