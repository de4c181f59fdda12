// A printer SDK that records its calls instead of printing, for tests of
// the agent's side. Built twice: complete, and without POS_RTQueryStatus.
#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "pos_sdk.h"

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

std::mutex mu;
std::string calls;
POS_HANDLE openResult = 7;
int openErrno = ENOENT;
int writeResult = POS_SUCCESS;

void Record(const std::string& line) {
  std::lock_guard<std::mutex> l(mu);
  calls += line + "\n";
}

std::string Join() { return std::string(); }
template <typename T, typename... Rest>
std::string Join(const T& first, const Rest&... rest) {
  std::string s;
  if constexpr (std::is_convertible_v<T, std::string>)
    s = "|" + std::string(first);
  else
    s = "|" + std::to_string(first);
  return s + Join(rest...);
}

template <typename... A>
int Call(const char* name, const A&... args) {
  Record(name + Join(args...));
  return POS_SUCCESS;
}

}  // namespace

// Test controls.
FAKE_API const char* FakeSdk_Calls() {
  static thread_local std::string copy;
  std::lock_guard<std::mutex> l(mu);
  copy = calls;
  return copy.c_str();
}
FAKE_API void FakeSdk_Reset(POS_HANDLE open, int openErr, int write) {
  std::lock_guard<std::mutex> l(mu);
  calls.clear();
  openResult = open;
  openErrno = openErr;
  writeResult = write;
}

FAKE_API POS_HANDLE POS_Open(const char* name, int b, int d, int s, int p, int param) {
  Call("POS_Open", name, b, d, s, p, param);
  std::lock_guard<std::mutex> l(mu);
  if (openResult == POS_INVALID_HANDLE) errno = openErrno;
  return openResult;
}
FAKE_API int POS_Close(void) { return Call("POS_Close"); }
FAKE_API int POS_Reset(void) { return Call("POS_Reset"); }
FAKE_API int POS_SetMode(int m) { return Call("POS_SetMode", m); }
FAKE_API int POS_SetMotionUnit(int h, int v) { return Call("POS_SetMotionUnit", h, v); }
FAKE_API int POS_SetCharSetAndCodePage(int a, int b) { return Call("POS_SetCharSetAndCodePage", a, b); }
FAKE_API int POS_FeedLine(void) { return Call("POS_FeedLine"); }
FAKE_API int POS_SetLineSpacing(int n) { return Call("POS_SetLineSpacing", n); }
FAKE_API int POS_SetRightSpacing(int n) { return Call("POS_SetRightSpacing", n); }
FAKE_API int POS_PreDownloadBmpToRAM(const char*, int) { return POS_FAIL; }
FAKE_API int POS_PreDownloadBmpsToFlash(const char* const*, int) { return POS_FAIL; }
FAKE_API int POS_QueryStatus(unsigned char*, int) { return POS_FAIL; }
FAKE_API int POS_NETQueryStatus(const char*, unsigned char*) { return POS_FAIL; }
#ifndef FAKE_SDK_WITHOUT_RTQUERY
FAKE_API int POS_RTQueryStatus(unsigned char*) { return POS_FAIL; }
#endif
FAKE_API int POS_KickOutDrawer(int, int, int) { return POS_FAIL; }
FAKE_API int POS_CutPaper(int m, int f) { return Call("POS_CutPaper", m, f); }
FAKE_API int POS_StartDoc(void) { return Call("POS_StartDoc"); }
FAKE_API int POS_EndDoc(void) { return Call("POS_EndDoc"); }
FAKE_API int POS_EndSaveFile(void) { return POS_FAIL; }
FAKE_API int POS_BeginSaveFile(const char*, int) { return POS_FAIL; }
FAKE_API int POS_S_SetAreaWidth(int) { return POS_FAIL; }
FAKE_API int POS_S_TextOut(const char* t, int x, int w, int h, int f, int s) {
  return Call("POS_S_TextOut", t, x, w, h, f, s);
}
// Records the file's size too: the caller deletes it right after.
FAKE_API int POS_S_DownloadAndPrintBmp(const char* path, int x, int mode) {
  struct stat st {};
  const long size = stat(path, &st) == 0 ? static_cast<long>(st.st_size) : -1;
  return Call("POS_S_DownloadAndPrintBmp", path, x, mode, size);
}
FAKE_API int POS_S_PrintBmpInRAM(int, int, int) { return POS_FAIL; }
FAKE_API int POS_S_PrintBmpInFlash(int, int, int) { return POS_FAIL; }
FAKE_API int POS_S_SetBarcode(const char*, int, int, int, int, int, int, int) { return POS_FAIL; }
FAKE_API int POS_PL_SetArea(int, int, int, int, int) { return POS_FAIL; }
FAKE_API int POS_PL_TextOut(const char*, int, int, int, int, int, int) { return POS_FAIL; }
FAKE_API int POS_PL_DownloadAndPrintBmp(const char*, int, int, int) { return POS_FAIL; }
FAKE_API int POS_PL_PrintBmpInRAM(int, int, int, int) { return POS_FAIL; }
FAKE_API int POS_PL_SetBarcode(const char*, int, int, int, int, int, int, int, int) { return POS_FAIL; }
FAKE_API int POS_PL_Print(void) { return Call("POS_PL_Print"); }
FAKE_API int POS_PL_Clear(void) { return Call("POS_PL_Clear"); }
FAKE_API int POS_WriteFile(POS_HANDLE h, const unsigned char* d, unsigned int n) {
  Call("POS_WriteFile", static_cast<long>(h), std::string(reinterpret_cast<const char*>(d), n));
  std::lock_guard<std::mutex> l(mu);
  if (writeResult != POS_SUCCESS) errno = EIO;
  return writeResult;
}
FAKE_API int POS_ReadFile(POS_HANDLE, unsigned char*, unsigned int, unsigned int*, int) { return POS_FAIL; }
FAKE_API int POS_SetHandle(POS_HANDLE) { return POS_FAIL; }
FAKE_API int POS_GetVersionInfo(int*, int*) { return POS_SUCCESS; }
