#include "session.h"

#include <algorithm>

namespace vprinter {
namespace {

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string Document::Summary() const {
  std::string s = Plural(raw_size, "byte", "bytes") + ", " +
                  Plural(static_cast<uint64_t>(printout.stats.text_lines), "text line", "text lines") + ", " +
                  Plural(static_cast<uint64_t>(printout.stats.images), "image", "images") + ", " +
                  Plural(static_cast<uint64_t>(printout.stats.qr_codes), "QR code", "QR codes") + ", " +
                  std::to_string(printout.picture.height()) + " dots long";
  const std::string skipped = reader.Describe();
  if (!skipped.empty()) s += "; " + skipped;
  if (printout.stats.paper_limit) s += "; paper limit reached, the rest was dropped";
  if (raw_truncated) s += "; raw bytes cut to " + std::to_string(raw.size());
  return s;
}

Session::Session(GlyphSource* glyphs, const Options& options, OnDocument on_document)
    : options_(options), on_document_(std::move(on_document)) {
  model_ = std::make_unique<PrinterModel>(glyphs, options_.printable, options_.max_height);
  model_->SetCutHandler([this] { OnCut(); });
  reader_ = std::make_unique<EscPosReader>(model_.get(), [this](const uint8_t* data, size_t size) {
    if (reply_) reply_(data, size);
  });
  reader_->SetChineseDefault(options_.chinese_default);
}

Session::~Session() = default;

bool Session::Open() const {
  return !raw_.empty() || stream_pos_ > raw_base_ || model_->printed() || reader_->pending() > 0;
}

void Session::Feed(const uint8_t* data, size_t size, int64_t now_ms) {
  if (size == 0) return;
  last_byte_ms_ = now_ms;
  slice_ = data;
  slice_start_ = stream_pos_;
  slice_size_ = size;
  stream_pos_ += size;
  if (raw_.size() < options_.max_raw) {
    raw_.append(reinterpret_cast<const char*>(data), std::min(size, options_.max_raw - raw_.size()));
  }
  reader_->Feed(data, size);
  slice_ = nullptr;
}

void Session::OnCut() {
  // A cut of blank paper is no document: its bytes go with the next one.
  if (!model_->printed()) return;
  const uint64_t cut = reader_->consumed();
  Document doc;
  doc.raw_size = cut - raw_base_;
  doc.raw = raw_.substr(0, static_cast<size_t>(std::min<uint64_t>(doc.raw_size, raw_.size())));
  doc.raw_truncated = options_.max_raw > 0 && doc.raw.size() < doc.raw_size;
  // What follows the cut in the bytes being fed starts the next document.
  raw_.clear();
  if (slice_ != nullptr && cut >= slice_start_ && cut <= slice_start_ + slice_size_) {
    const size_t from = static_cast<size_t>(cut - slice_start_);
    raw_.assign(reinterpret_cast<const char*>(slice_) + from, std::min(slice_size_ - from, options_.max_raw));
  }
  raw_base_ = cut;
  doc.reader = reader_->stats();
  reader_->ResetStats();
  doc.printout = model_->TakePrintout();
  on_document_(std::move(doc));
}

void Session::Close() {
  reader_->Finish();
  if (!model_->printed()) {
    // Nothing reached the paper (status queries, settings): no document.
    raw_.clear();
    raw_base_ = stream_pos_;
    reader_->ResetStats();
    model_->TakePrintout();
    return;
  }
  Document doc;
  doc.raw_size = stream_pos_ - raw_base_;
  doc.raw = std::move(raw_);
  raw_.clear();
  doc.raw_truncated = options_.max_raw > 0 && doc.raw.size() < doc.raw_size;
  raw_base_ = stream_pos_;
  doc.reader = reader_->stats();
  reader_->ResetStats();
  doc.printout = model_->TakePrintout();
  on_document_(std::move(doc));
}

int64_t Session::NextDeadline() const {
  if (options_.quiet_ms <= 0 || !Open()) return -1;
  return last_byte_ms_ + options_.quiet_ms;
}

void Session::Tick(int64_t now_ms) {
  const int64_t deadline = NextDeadline();
  if (deadline >= 0 && now_ms >= deadline) Close();
}

void Session::Finish() {
  if (Open()) Close();
}

}  // namespace vprinter
