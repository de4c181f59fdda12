#include "print/print_hooks.h"

#include "data/data_mgr.h"
#include "print/printer_link.h"
#include "print/sdk_binding.h"

namespace tillcast {

void InstallPrintHooks() {
  DataMgr& data = DataMgr::GetInstance();
  data.SetSdkBinder([] { return BindPrinterSdk(); });
  data.SetRawPrinter([](const std::vector<unsigned char>& bytes, const RawPrintTry& how) {
    PrinterLink link;
    return PrintRawTry(link, bytes, how);
  });
}

}  // namespace tillcast
