#include "capture/cups_capture.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include "base/log.h"
#include "platform/codepage.h"
#include "platform/scoped_fd.h"

namespace tillcast::capture {
namespace {

// A receipt is a page or two; a document far longer is not one.
constexpr int kMaxPdfPages = 200;

bool TypeIs(const std::string& type, const char* name) {
  const size_t n = std::char_traits<char>::length(name);
  if (type.size() < n || strncasecmp(type.c_str(), name, n) != 0) return false;
  return type.size() == n || type[n] == ';' || type[n] == ' ';
}

bool IsUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t extra;
    if (c < 0x80)
      extra = 0;
    else if (c >= 0xC2 && c <= 0xDF)
      extra = 1;
    else if (c >= 0xE0 && c <= 0xEF)
      extra = 2;
    else if (c >= 0xF0 && c <= 0xF4)
      extra = 3;
    else
      return false;
    if (extra > 0 && i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

std::string ToAnsi(const char* from, const std::string& text) {
  std::string out;
  if (!platform::ConvertEncodingLossy(from, platform::AnsiCodePageName().c_str(), text, "?", &out)) return text;
  return out;
}

// poppler writes its complaints about a broken file to stderr otherwise.
void QuietPoppler() {
  static std::once_flag once;
  std::call_once(once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

void TrimLineEnds(std::string* line) {
  while (!line->empty() &&
         (line->back() == ' ' || line->back() == '\r' || line->back() == '\f' || line->back() == '\t'))
    line->pop_back();
}

}  // namespace

CupsDocumentKind CupsKindOfType(const std::string& t) {
  if (TypeIs(t, "application/vnd.cups-raw") || TypeIs(t, "application/octet-stream")) return CupsDocumentKind::kRaw;
  if (TypeIs(t, "text/plain")) return CupsDocumentKind::kText;
  if (TypeIs(t, "application/pdf")) return CupsDocumentKind::kPdf;
  return CupsDocumentKind::kOther;
}

std::string CupsTextToAnsi(const std::string& text) {
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) return ToAnsi("UTF-8", text.substr(3));
  if (text.rfind("\xFF\xFE", 0) == 0) return ToAnsi("UTF-16LE", text.substr(2));
  if (text.rfind("\xFE\xFF", 0) == 0) return ToAnsi("UTF-16BE", text.substr(2));
  if (IsUtf8(text)) return ToAnsi("UTF-8", text);
  return text;
}

bool PdfTextUtf8(const std::string& pdf, std::string* text, std::string* why) {
  QuietPoppler();
  std::unique_ptr<poppler::document> doc(
      poppler::document::load_from_raw_data(pdf.data(), static_cast<int>(pdf.size())));
  if (!doc) {
    *why = "the PDF cannot be read";
    return false;
  }
  if (doc->is_locked()) {
    *why = "the PDF is protected with a password";
    return false;
  }
  text->clear();
  const int pages = std::min(doc->pages(), kMaxPdfPages);
  for (int i = 0; i < pages; ++i) {
    std::unique_ptr<poppler::page> page(doc->create_page(i));
    if (!page) continue;
    const poppler::byte_array utf8 = page->text(page->page_rect(), poppler::page::physical_layout).to_utf8();
    std::string lines(utf8.begin(), utf8.end());
    std::string out;
    size_t at = 0;
    while (at <= lines.size()) {
      size_t end = lines.find('\n', at);
      if (end == std::string::npos) end = lines.size();
      std::string line = lines.substr(at, end - at);
      TrimLineEnds(&line);
      out += line;
      out += '\n';
      at = end + 1;
    }
    // Blank rows below the last text are the page's margin.
    while (out.size() >= 2 && out[out.size() - 1] == '\n' && out[out.size() - 2] == '\n') out.pop_back();
    if (out == "\n") continue;
    *text += out;
  }
  return true;
}

CupsCopyResult TakeCupsCopy(const std::string& path, std::string* capture, CupsCopyHeader* header) {
  int err = 0;
  platform::ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) {
    err = errno;
    if (err == ENOENT) return CupsCopyResult::kSkip;
    Log(LOG_ERROR, "cups copy %s cannot be read, errno:%d (is the agent's user in the group tillcast?)", path.c_str(),
        err);
    return err == ELOOP ? CupsCopyResult::kSkip : CupsCopyResult::kKeep;
  }
  // A copy that cannot be removed once captured would be captured again at
  // every start: it is left, and said so.
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    Log(LOG_ERROR, "cups copy %s is left: the agent may not remove files in %s, errno:%d", path.c_str(), folder.c_str(),
        errno);
    return CupsCopyResult::kKeep;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Log(LOG_WARNING, "cups copy %s is not a file; skipped", path.c_str());
    return CupsCopyResult::kSkip;
  }
  if (static_cast<uint64_t>(st.st_size) > kCupsCopyMaxHeader + kCupsCopyMaxDocument) {
    Log(LOG_WARNING, "cups copy %s has %lld bytes, more than a receipt ever has; skipped", path.c_str(),
        static_cast<long long>(st.st_size));
    return CupsCopyResult::kSkip;
  }
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  CupsCopyHeader h;
  size_t body = 0;
  if (!ParseCupsCopyHeader(bytes, &h, &body)) {
    Log(LOG_WARNING, "cups copy %s is not a copy of a job; skipped", path.c_str());
    return CupsCopyResult::kSkip;
  }
  if (header != nullptr) *header = h;
  const std::string document = bytes.substr(body);
  switch (CupsKindOfType(h.type)) {
    case CupsDocumentKind::kRaw: *capture = document; break;
    case CupsDocumentKind::kText: *capture = CupsTextToAnsi(document); break;
    case CupsDocumentKind::kPdf: {
      std::string text, why;
      if (!PdfTextUtf8(document, &text, &why)) {
        Log(LOG_WARNING, "cups job %s of queue %s: %s; skipped", h.job.c_str(), h.queue.c_str(), why.c_str());
        return CupsCopyResult::kSkip;
      }
      *capture = ToAnsi("UTF-8", text);
      break;
    }
    case CupsDocumentKind::kOther:
      Log(LOG_WARNING, "cups job %s of queue %s: a document of type %s holds no receipt text the agent reads; skipped",
          h.job.c_str(), h.queue.c_str(), h.type.c_str());
      return CupsCopyResult::kSkip;
  }
  Log(LOG_INFO, "cups job %s of queue %s (%s, %zu bytes): %zu bytes captured", h.job.c_str(), h.queue.c_str(),
      h.type.c_str(), document.size(), capture->size());
  return CupsCopyResult::kCapture;
}

}  // namespace tillcast::capture
