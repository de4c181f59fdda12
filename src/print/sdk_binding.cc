#include "print/sdk_binding.h"

#include <mutex>
#include <vector>

#include "base/log.h"
#include "base/text_util.h"
#include "platform/paths.h"
#include "platform/shared_library.h"

namespace tillcast {
namespace {

PosSdkTable g_table;

// Loaded libraries stay loaded for the life of the process: a function
// pointer handed out earlier must never dangle.
void KeepLoaded(void* handle) {
  static std::mutex mu;
  static std::vector<void*>* kept = new std::vector<void*>;
  std::lock_guard<std::mutex> l(mu);
  kept->push_back(handle);
}

template <typename Fn>
bool Lookup(void* library, const char* name, Fn* slot) {
  void* symbol = platform::FindLibrarySymbol(library, name);
  if (symbol == nullptr) {
    Log(LOG_ERROR, "printer library: %s not found", name);
    return false;
  }
  *slot = reinterpret_cast<Fn>(symbol);
  return true;
}

}  // namespace

bool BindPrinterSdkFrom(const std::string& library) {
  g_table = PosSdkTable{};
  std::string why;
  void* handle = platform::LoadSharedLibrary(library, &why);
  if (handle == nullptr) {
    Log(LOG_ERROR, "printer library %s not loaded: %s", library.c_str(), why.c_str());
    return false;
  }
  KeepLoaded(handle);

  PosSdkTable& t = g_table;
#define POS_BIND(name) \
  if (!Lookup(handle, #name, &t.name)) return false
  // The lookup order of the SDK's table: 1-12, 14, 13, 15-37.
  POS_BIND(POS_Open);
  POS_BIND(POS_Close);
  POS_BIND(POS_Reset);
  POS_BIND(POS_SetMode);
  POS_BIND(POS_SetMotionUnit);
  POS_BIND(POS_SetCharSetAndCodePage);
  POS_BIND(POS_FeedLine);
  POS_BIND(POS_SetLineSpacing);
  POS_BIND(POS_SetRightSpacing);
  POS_BIND(POS_PreDownloadBmpToRAM);
  POS_BIND(POS_PreDownloadBmpsToFlash);
  POS_BIND(POS_QueryStatus);
  POS_BIND(POS_RTQueryStatus);
  POS_BIND(POS_NETQueryStatus);
  POS_BIND(POS_KickOutDrawer);
  POS_BIND(POS_CutPaper);
  POS_BIND(POS_StartDoc);
  POS_BIND(POS_EndDoc);
  POS_BIND(POS_EndSaveFile);
  POS_BIND(POS_BeginSaveFile);
  POS_BIND(POS_S_SetAreaWidth);
  POS_BIND(POS_S_TextOut);
  POS_BIND(POS_S_DownloadAndPrintBmp);
  POS_BIND(POS_S_PrintBmpInRAM);
  POS_BIND(POS_S_PrintBmpInFlash);
  POS_BIND(POS_S_SetBarcode);
  POS_BIND(POS_PL_SetArea);
  POS_BIND(POS_PL_TextOut);
  POS_BIND(POS_PL_DownloadAndPrintBmp);
  POS_BIND(POS_PL_PrintBmpInRAM);
  POS_BIND(POS_PL_SetBarcode);
  POS_BIND(POS_PL_Print);
  POS_BIND(POS_PL_Clear);
  POS_BIND(POS_WriteFile);
  POS_BIND(POS_ReadFile);
  POS_BIND(POS_SetHandle);
  POS_BIND(POS_GetVersionInfo);
#undef POS_BIND
  t.POS_RTQueryStatusEx =
      reinterpret_cast<decltype(t.POS_RTQueryStatusEx)>(platform::FindLibrarySymbol(handle, "POS_RTQueryStatusEx"));
  return true;
}

bool BindPrinterSdk() {
  // Beside the executable first, by full path: a run path is not honoured
  // when dlopen is intercepted (sanitizers, preloaded tools).
  const std::string beside = GetModuleFolder() + "/" + kPrinterSdkLibrary;
  if (platform::PathExists(beside)) return BindPrinterSdkFrom(beside);
  return BindPrinterSdkFrom(kPrinterSdkLibrary);
}

const PosSdkTable& PrinterSdk() { return g_table; }

void UnbindPrinterSdkForTest() { g_table = PosSdkTable{}; }

}  // namespace tillcast
