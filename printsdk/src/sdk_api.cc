// The exported functions: a table of open ports, the current one, and the
// encoding of each call into ESC/POS bytes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "escpos.h"
#include "image.h"
#include "port.h"
#include "pos_sdk.h"

namespace possdk {
namespace {

struct PortState {
  std::unique_ptr<Port> port;
  bool chineseMode = false;  // FS & sent since open or reset
  bool pageMode = false;
  bool linePending = false;  // text in the printer's line buffer
};

struct FileClose {
  void operator()(FILE* f) const { std::fclose(f); }
};

class Sdk {
 public:
  std::mutex mu;
  std::map<POS_HANDLE, PortState> ports;
  POS_HANDLE current = POS_INVALID_HANDLE;
  POS_HANDLE next = 1;
  std::unique_ptr<FILE, FileClose> saveFile;

  PortState* Current() {
    auto it = ports.find(current);
    return it == ports.end() ? nullptr : &it->second;
  }

  // Output of the encoding functions: the save file when one is open,
  // else the current port.
  int Emit(const Bytes& bytes) {
    if (saveFile) {
      if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), saveFile.get()) != bytes.size()) return POS_FAIL;
      return POS_SUCCESS;
    }
    PortState* p = Current();
    if (p == nullptr) {
      errno = EBADF;
      return POS_FAIL;
    }
    return p->port->Write(bytes.data(), bytes.size()) ? POS_SUCCESS : POS_FAIL;
  }

  // State of the current port for the encoders; a dummy while saving to a
  // file without a port.
  PortState& State() {
    if (PortState* p = Current()) return *p;
    return detached;
  }

 private:
  PortState detached;
};

Sdk& TheSdk() {
  static Sdk* sdk = new Sdk;  // outlives every caller, even at exit
  return *sdk;
}

// Runs `encode` under the lock and emits what it produced.
template <typename F>
int Encode(F encode) {
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  Bytes bytes;
  if (!encode(sdk.State(), &bytes)) return POS_FAIL;
  return sdk.Emit(bytes);
}

void TextBytes(PortState& st, Bytes* out, const char* text, const TextAttributes& attributes) {
  AppendTextAttributes(out, attributes);
  if (!st.chineseMode) {
    AppendChineseMode(out);
    st.chineseMode = true;
  }
  out->insert(out->end(), text, text + std::strlen(text));
  st.linePending = true;
}

// Before a raster image the line buffer must be empty.
void FlushLine(PortState& st, Bytes* out) {
  if (st.linePending) AppendLineFeed(out);
  st.linePending = false;
}

// Sends `request` and waits for one status byte.
int QueryByte(const Bytes& request, unsigned char* status, int timeoutMs) {
  if (status == nullptr) return POS_FAIL;
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  PortState* p = sdk.Current();
  if (p == nullptr || !p->port->Write(request.data(), request.size())) return POS_FAIL;
  uint8_t b = 0;
  if (p->port->Read(&b, 1, timeoutMs) != 1) return POS_FAIL;
  *status = b;
  return POS_SUCCESS;
}

}  // namespace
}  // namespace possdk

using namespace possdk;

extern "C" {

POS_HANDLE POS_Open(const char* name, int baudrate, int dataBits, int stopBits, int parity, int param) {
  if (name == nullptr) {
    errno = EINVAL;
    return POS_INVALID_HANDLE;
  }
  std::unique_ptr<Port> port;
  if (param == POS_OPEN_PARALLEL) {
    port = OpenDevicePort(name);
  } else if (param == POS_OPEN_PRINTER_NAME) {
    port = OpenQueuePort(name);
  } else if (param == POS_OPEN_NETWORK) {
    port = OpenNetworkPort(name);
  } else {
    port = OpenSerialPort(name, SerialSettings{baudrate, dataBits, stopBits, parity, param});
  }
  if (!port) return POS_INVALID_HANDLE;
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  const POS_HANDLE handle = sdk.next++;
  sdk.ports[handle].port = std::move(port);
  sdk.current = handle;
  return handle;
}

int POS_Close(void) {
  Sdk& sdk = TheSdk();
  std::unique_ptr<Port> port;
  {
    std::lock_guard<std::mutex> l(sdk.mu);
    PortState* p = sdk.Current();
    if (p == nullptr) return POS_ERROR_INVALID_HANDLE;
    port = std::move(p->port);
    sdk.ports.erase(sdk.current);
    sdk.current = POS_INVALID_HANDLE;
  }
  // Closing may wait for a queue's reply; no need to hold the lock for it.
  return port->Close() ? POS_SUCCESS : POS_FAIL;
}

int POS_Reset(void) {
  return Encode([](PortState& st, Bytes* out) {
    AppendReset(out);
    st = PortState{std::move(st.port)};
    return true;
  });
}

int POS_SetMode(int mode) {
  if (mode != 0 && mode != 1) return POS_FAIL;
  return Encode([mode](PortState& st, Bytes* out) {
    if (mode == 1)
      AppendPageMode(out);
    else
      AppendStandardMode(out);
    st.pageMode = mode == 1;
    return true;
  });
}

int POS_SetMotionUnit(int horizontal, int vertical) {
  return Encode([=](PortState&, Bytes* out) {
    AppendMotionUnit(out, horizontal, vertical);
    return true;
  });
}

int POS_SetCharSetAndCodePage(int charSet, int codePage) {
  return Encode([=](PortState&, Bytes* out) {
    AppendCharSetAndCodePage(out, charSet, codePage);
    return true;
  });
}

int POS_FeedLine(void) {
  return Encode([](PortState& st, Bytes* out) {
    AppendLineFeed(out);
    st.linePending = false;
    return true;
  });
}

int POS_SetLineSpacing(int spacing) {
  return Encode([=](PortState&, Bytes* out) {
    AppendLineSpacing(out, spacing);
    return true;
  });
}

int POS_SetRightSpacing(int spacing) {
  return Encode([=](PortState&, Bytes* out) {
    AppendRightSpacing(out, spacing);
    return true;
  });
}

int POS_PreDownloadBmpToRAM(const char*, int) { return POS_FAIL; }
int POS_PreDownloadBmpsToFlash(const char* const*, int) { return POS_FAIL; }

int POS_QueryStatus(unsigned char* status, int timeoutMs) {
  Bytes request;
  AppendPaperStatusRequest(&request);
  return QueryByte(request, status, timeoutMs);
}

int POS_NETQueryStatus(const char* address, unsigned char* status) {
  if (address == nullptr || status == nullptr) return POS_FAIL;
  // Its own connection: no lock needed, the current port is not touched.
  std::unique_ptr<Port> port = OpenNetworkPort(address);
  if (!port) return POS_FAIL;
  Bytes request;
  AppendStatusRequest(&request, 1);
  uint8_t b = 0;
  const bool answered = port->Write(request.data(), request.size()) && port->Read(&b, 1, 1000) == 1;
  port->Close();
  if (!answered) return POS_FAIL;
  *status = b;
  return POS_SUCCESS;
}

int POS_RTQueryStatus(unsigned char* status) { return POS_RTQueryStatusEx(status, 1000); }

int POS_RTQueryStatusEx(unsigned char* status, int timeoutMs) {
  Bytes request;
  AppendStatusRequest(&request, 1);
  return QueryByte(request, status, timeoutMs);
}

int POS_KickOutDrawer(int pin, int onTime, int offTime) {
  return Encode([=](PortState&, Bytes* out) {
    AppendDrawerKick(out, pin, onTime, offTime);
    return true;
  });
}

int POS_CutPaper(int mode, int feed) {
  return Encode([=](PortState& st, Bytes* out) {
    AppendCut(out, mode, feed);
    st.linePending = false;
    return true;
  });
}

int POS_StartDoc(void) {
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  PortState* p = sdk.Current();
  if (p == nullptr) return POS_FAIL;
  return p->port->StartDoc() ? POS_SUCCESS : POS_FAIL;
}

int POS_EndDoc(void) {
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  PortState* p = sdk.Current();
  if (p == nullptr) return POS_FAIL;
  return p->port->EndDoc() ? POS_SUCCESS : POS_FAIL;
}

int POS_BeginSaveFile(const char* path, int append) {
  if (path == nullptr) return POS_FAIL;
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  std::unique_ptr<FILE, FileClose> f(std::fopen(path, append ? "ab" : "wb"));
  if (!f) return POS_FAIL;
  sdk.saveFile = std::move(f);
  return POS_SUCCESS;
}

int POS_EndSaveFile(void) {
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  if (!sdk.saveFile) return POS_FAIL;
  const bool ok = std::fclose(sdk.saveFile.release()) == 0;
  return ok ? POS_SUCCESS : POS_FAIL;
}

int POS_S_SetAreaWidth(int width) {
  return Encode([=](PortState&, Bytes* out) {
    AppendAreaWidth(out, width);
    return true;
  });
}

int POS_S_TextOut(const char* text, int x, int widthTimes, int heightTimes, int fontType, int style) {
  if (text == nullptr) return POS_FAIL;
  if (*text == '\0') return POS_SUCCESS;  // nothing to place
  return Encode([=](PortState& st, Bytes* out) {
    AppendHorizontalPosition(out, x);
    TextBytes(st, out, text, TextAttributes{widthTimes, heightTimes, fontType, style});
    return true;
  });
}

int POS_S_DownloadAndPrintBmp(const char* path, int x, int mode) {
  if (path == nullptr) return POS_FAIL;
  // Decode outside the lock: it is the slow part.
  Raster raster;
  if (!LoadRaster(path, x, &raster)) return POS_FAIL;
  return Encode([&](PortState& st, Bytes* out) {
    FlushLine(st, out);
    AppendRaster(out, raster, mode);
    return true;
  });
}

int POS_S_PrintBmpInRAM(int, int, int) { return POS_FAIL; }
int POS_S_PrintBmpInFlash(int, int, int) { return POS_FAIL; }

int POS_S_SetBarcode(const char* data, int x, int type, int width, int height, int hriFont, int hriPosition,
                     int length) {
  if (data == nullptr || length <= 0) return POS_FAIL;
  const std::string code(data, strnlen(data, static_cast<size_t>(length)));
  return Encode([&](PortState& st, Bytes* out) {
    // Built first: a refused barcode leaves the pending line as it was.
    Bytes barcode;
    if (!AppendBarcode(&barcode, code, type, width, height, hriFont, hriPosition)) return false;
    FlushLine(st, out);
    AppendHorizontalPosition(out, x);
    out->insert(out->end(), barcode.begin(), barcode.end());
    return true;
  });
}

int POS_PL_SetArea(int x, int y, int width, int height, int direction) {
  return Encode([=](PortState&, Bytes* out) {
    AppendPageArea(out, x, y, width, height, direction);
    return true;
  });
}

int POS_PL_TextOut(const char* text, int x, int y, int widthTimes, int heightTimes, int fontType, int style) {
  if (text == nullptr) return POS_FAIL;
  if (*text == '\0') return POS_SUCCESS;
  return Encode([=](PortState& st, Bytes* out) {
    AppendHorizontalPosition(out, x);
    AppendVerticalPosition(out, y);
    TextBytes(st, out, text, TextAttributes{widthTimes, heightTimes, fontType, style});
    return true;
  });
}

int POS_PL_DownloadAndPrintBmp(const char*, int, int, int) { return POS_FAIL; }
int POS_PL_PrintBmpInRAM(int, int, int, int) { return POS_FAIL; }

int POS_PL_SetBarcode(const char* data, int x, int y, int type, int width, int height, int hriFont, int hriPosition,
                      int length) {
  if (data == nullptr || length <= 0) return POS_FAIL;
  const std::string code(data, strnlen(data, static_cast<size_t>(length)));
  return Encode([&](PortState&, Bytes* out) {
    AppendHorizontalPosition(out, x);
    AppendVerticalPosition(out, y);
    return AppendBarcode(out, code, type, width, height, hriFont, hriPosition);
  });
}

int POS_PL_Print(void) {
  return Encode([](PortState& st, Bytes* out) {
    // FF also ends page mode on the printer.
    if (st.pageMode) AppendPagePrint(out);
    st.pageMode = false;
    return true;
  });
}

int POS_PL_Clear(void) {
  return Encode([](PortState& st, Bytes* out) {
    if (st.pageMode) AppendPageClear(out);
    return true;
  });
}

int POS_WriteFile(POS_HANDLE handle, const unsigned char* data, unsigned int length) {
  if (data == nullptr && length > 0) return POS_FAIL;
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  auto it = sdk.ports.find(handle);
  if (it == sdk.ports.end()) {
    errno = EBADF;
    return POS_FAIL;
  }
  return it->second.port->Write(data, length) ? POS_SUCCESS : POS_FAIL;
}

int POS_ReadFile(POS_HANDLE handle, unsigned char* buffer, unsigned int size, unsigned int* received, int timeoutMs) {
  if (buffer == nullptr || received == nullptr) return POS_FAIL;
  *received = 0;
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  auto it = sdk.ports.find(handle);
  if (it == sdk.ports.end()) {
    errno = EBADF;
    return POS_FAIL;
  }
  const long n = it->second.port->Read(buffer, size, timeoutMs);
  if (n < 0) return POS_FAIL;
  *received = static_cast<unsigned int>(n);
  return POS_SUCCESS;
}

int POS_SetHandle(POS_HANDLE handle) {
  Sdk& sdk = TheSdk();
  std::lock_guard<std::mutex> l(sdk.mu);
  if (sdk.ports.count(handle) == 0) return POS_ERROR_INVALID_HANDLE;
  sdk.current = handle;
  return POS_SUCCESS;
}

int POS_GetVersionInfo(int* major, int* minor) {
  if (major != nullptr) *major = 2;
  if (minor != nullptr) *minor = 0;
  return POS_SUCCESS;
}

}  // extern "C"
