// The printer SDK, bound at run time: one slot per SDK function.
//
// The table is written by BindPrinterSdk before other threads start and only
// read afterwards; PrinterSdk() may then be called from any thread.
#pragma once

#include <string>

#include "pos_sdk.h"

namespace tillcast {

// The SDK's file name, found through the executable's run path.
inline constexpr const char* kPrinterSdkLibrary = "libprint.so";

struct PosSdkTable {
  decltype(&::POS_Open) POS_Open = nullptr;
  decltype(&::POS_Close) POS_Close = nullptr;
  decltype(&::POS_Reset) POS_Reset = nullptr;
  decltype(&::POS_SetMode) POS_SetMode = nullptr;
  decltype(&::POS_SetMotionUnit) POS_SetMotionUnit = nullptr;
  decltype(&::POS_SetCharSetAndCodePage) POS_SetCharSetAndCodePage = nullptr;
  decltype(&::POS_FeedLine) POS_FeedLine = nullptr;
  decltype(&::POS_SetLineSpacing) POS_SetLineSpacing = nullptr;
  decltype(&::POS_SetRightSpacing) POS_SetRightSpacing = nullptr;
  decltype(&::POS_PreDownloadBmpToRAM) POS_PreDownloadBmpToRAM = nullptr;
  decltype(&::POS_PreDownloadBmpsToFlash) POS_PreDownloadBmpsToFlash = nullptr;
  decltype(&::POS_QueryStatus) POS_QueryStatus = nullptr;
  decltype(&::POS_NETQueryStatus) POS_NETQueryStatus = nullptr;
  decltype(&::POS_RTQueryStatus) POS_RTQueryStatus = nullptr;
  decltype(&::POS_KickOutDrawer) POS_KickOutDrawer = nullptr;
  decltype(&::POS_CutPaper) POS_CutPaper = nullptr;
  decltype(&::POS_StartDoc) POS_StartDoc = nullptr;
  decltype(&::POS_EndDoc) POS_EndDoc = nullptr;
  decltype(&::POS_EndSaveFile) POS_EndSaveFile = nullptr;
  decltype(&::POS_BeginSaveFile) POS_BeginSaveFile = nullptr;
  decltype(&::POS_S_SetAreaWidth) POS_S_SetAreaWidth = nullptr;
  decltype(&::POS_S_TextOut) POS_S_TextOut = nullptr;
  decltype(&::POS_S_DownloadAndPrintBmp) POS_S_DownloadAndPrintBmp = nullptr;
  decltype(&::POS_S_PrintBmpInRAM) POS_S_PrintBmpInRAM = nullptr;
  decltype(&::POS_S_PrintBmpInFlash) POS_S_PrintBmpInFlash = nullptr;
  decltype(&::POS_S_SetBarcode) POS_S_SetBarcode = nullptr;
  decltype(&::POS_PL_SetArea) POS_PL_SetArea = nullptr;
  decltype(&::POS_PL_TextOut) POS_PL_TextOut = nullptr;
  decltype(&::POS_PL_DownloadAndPrintBmp) POS_PL_DownloadAndPrintBmp = nullptr;
  decltype(&::POS_PL_PrintBmpInRAM) POS_PL_PrintBmpInRAM = nullptr;
  decltype(&::POS_PL_SetBarcode) POS_PL_SetBarcode = nullptr;
  decltype(&::POS_PL_Print) POS_PL_Print = nullptr;
  decltype(&::POS_PL_Clear) POS_PL_Clear = nullptr;
  decltype(&::POS_WriteFile) POS_WriteFile = nullptr;
  decltype(&::POS_ReadFile) POS_ReadFile = nullptr;
  decltype(&::POS_SetHandle) POS_SetHandle = nullptr;
  decltype(&::POS_GetVersionInfo) POS_GetVersionInfo = nullptr;
  // Beyond the table: a library without it is still bound, and status
  // requests then wait POS_RTQueryStatus's own second.
  decltype(&::POS_RTQueryStatusEx) POS_RTQueryStatusEx = nullptr;
};

// Loads kPrinterSdkLibrary from the executable's folder (else by the
// standard search, which includes the run path) and fills the table. True when every function was
// found; on a missing function the slots after it stay empty.
bool BindPrinterSdk();

// The same from another library file (tests, other installations).
bool BindPrinterSdkFrom(const std::string& library);

// The bound table; slots are null when binding failed.
const PosSdkTable& PrinterSdk();

// Test hook: empties the table (the library stays loaded).
void UnbindPrinterSdkForTest();

}  // namespace tillcast
