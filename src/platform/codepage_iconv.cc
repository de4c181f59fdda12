#include <errno.h>
#include <iconv.h>
#include <strings.h>

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

namespace {

bool IsUtf8Name(const char* name) { return strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "UTF8") == 0; }
bool IsWideName(const char* name) { return strcasecmp(name, "WCHAR_T") == 0; }

// Bytes of the character at `p` (of `left` bytes) that a failed conversion
// skips: a whole well-formed UTF-8 sequence (its character has no form in
// the target), one wchar_t, else the one byte that broke the input.
size_t SkipLength(const char* from, const unsigned char* p, size_t left) {
  if (IsWideName(from)) return left < sizeof(wchar_t) ? left : sizeof(wchar_t);
  if (!IsUtf8Name(from)) return 1;
  const unsigned char c = p[0];
  size_t len = 1;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
  }
  if (len > left) return 1;
  for (size_t i = 1; i < len; ++i)
    if ((p[i] & 0xC0) != 0x80) return 1;
  return len;
}

// The one conversion loop. Without a `replacement` the first character that
// does not convert fails the whole text (errno in `*err`); with one, that
// character is replaced and the rest converted.
bool Convert(const char* from, const char* to, const std::string& in, const std::string* replacement, std::string* out,
             size_t* replaced, int* err) {
  out->clear();
  if (replaced != nullptr) *replaced = 0;
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
  // src == nullptr on the last round flushes a stateful encoding's closing
  // sequence.
  bool flushed = false;
  while (!flushed) {
    char* dst = buf.data() + done;
    size_t dst_left = buf.size() - done;
    const bool flushing = src_left == 0;
    const size_t rc = iconv(raw, flushing ? nullptr : &src, flushing ? nullptr : &src_left, &dst, &dst_left);
    done = buf.size() - dst_left;
    if (rc != static_cast<size_t>(-1)) {
      flushed = flushing;
      continue;
    }
    if (errno == E2BIG) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (replacement == nullptr || flushing) {
      if (err) *err = errno;
      return false;
    }
    // EILSEQ (invalid here, or no form there) or EINVAL (cut off at the
    // end): one replacement, then on after the character.
    const size_t skip = errno == EINVAL ? src_left : SkipLength(from, reinterpret_cast<unsigned char*>(src), src_left);
    src += skip;
    src_left -= skip;
    if (buf.size() - done < replacement->size()) buf.resize(buf.size() * 2 + replacement->size());
    std::memcpy(buf.data() + done, replacement->data(), replacement->size());
    done += replacement->size();
    if (replaced != nullptr) ++*replaced;
    iconv(raw, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  }
  buf.resize(done);
  *out = std::move(buf);
  return true;
}

}  // namespace

bool ConvertEncoding(const char* from, const char* to, const std::string& in, std::string* out, int* err) {
  return Convert(from, to, in, nullptr, out, nullptr, err);
}

bool ConvertEncodingLossy(const char* from, const char* to, const std::string& in, const std::string& replacement,
                          std::string* out, size_t* replaced) {
  int err = 0;
  return Convert(from, to, in, &replacement, out, replaced, &err);
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
