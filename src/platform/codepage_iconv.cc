#include <errno.h>
#include <iconv.h>

#include <cstring>
#include <memory>

#include "platform/codepage.h"
#include "platform/env.h"

namespace tillcast::platform {
namespace {

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

}  // namespace

const std::string& AnsiCodePageName() {
  static const std::string name = EnvOr("TILLCAST_CODEPAGE", "GBK");
  return name;
}

bool ConvertEncoding(const char* from, const char* to, const std::string& in, std::string* out, int* err) {
  out->clear();
  iconv_t raw = iconv_open(to, from);
  if (raw == reinterpret_cast<iconv_t>(-1)) {
    if (err) *err = errno;
    return false;
  }
  IconvHandle cd(raw);
  if (in.empty()) return true;
  std::string buf(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  size_t done = 0;
  for (;;) {
    char* dst = buf.data() + done;
    size_t dst_left = buf.size() - done;
    const size_t rc = iconv(raw, src_left ? &src : nullptr, src_left ? &src_left : nullptr, &dst, &dst_left);
    done = buf.size() - dst_left;
    if (rc != static_cast<size_t>(-1)) {
      if (src_left == 0) break;
      continue;
    }
    if (errno == E2BIG) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (err) *err = errno;
    return false;
  }
  buf.resize(done);
  *out = std::move(buf);
  return true;
}

bool NarrowToWide(const std::string& code_page, const std::string& in, std::wstring* out, int* err) {
  std::string bytes;
  if (!ConvertEncoding(code_page.c_str(), "WCHAR_T", in, &bytes, err)) return false;
  out->assign(bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(out->data(), bytes.data(), out->size() * sizeof(wchar_t));
  return true;
}

bool WideToNarrow(const std::string& code_page, const std::wstring& in, std::string* out, int* err) {
  const std::string bytes(reinterpret_cast<const char*>(in.data()), in.size() * sizeof(wchar_t));
  return ConvertEncoding("WCHAR_T", code_page.c_str(), bytes, out, err);
}

}  // namespace tillcast::platform
