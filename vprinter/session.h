// One input stream turned into documents: bytes go through the reader into
// the printer model; a cut, a quiet time without bytes or the end of input
// closes a document. Each document carries its picture, its transcript, its
// raw bytes and what the reader skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "escpos_reader.h"
#include "printer_model.h"

namespace vprinter {

struct Document {
  Printout printout;
  std::string raw;             // the document's bytes, at most Session::Options::max_raw
  uint64_t raw_size = 0;       // how many bytes it had
  bool raw_truncated = false;  // `raw` holds only the first max_raw of them
  ReaderStats reader;
  // "1234 bytes, 40 text lines, 1 image, 1 QR code; 2 unknown (...)"
  std::string Summary() const;
};

// Not thread-safe: one thread feeds a session.
class Session {
 public:
  struct Options {
    int printable = kPaper80.printable;
    bool chinese_default = false;
    int64_t quiet_ms = 2000;     // <= 0: only cuts and Finish close
    size_t max_raw = 16u << 20;  // bytes of .bin kept per document
    int max_height = kMaxPaperDots;
  };
  using OnDocument = std::function<void(Document&&)>;

  // `glyphs` must outlive the session; `on_document` runs on the feeding
  // thread.
  Session(GlyphSource* glyphs, const Options& options, OnDocument on_document);
  ~Session();

  // Where answers to status requests go (nullptr: nowhere).
  void SetReply(EscPosReader::Reply reply) { reply_ = std::move(reply); }

  void Feed(const uint8_t* data, size_t size, int64_t now_ms);
  // Closes the open document when the quiet time has passed.
  void Tick(int64_t now_ms);
  // When Tick next has something to do; -1 when nothing is open.
  int64_t NextDeadline() const;
  // End of input: closes the open document.
  void Finish();

 private:
  void OnCut();
  void Close();
  bool Open() const;

  Options options_;
  OnDocument on_document_;
  EscPosReader::Reply reply_;
  std::unique_ptr<PrinterModel> model_;
  std::unique_ptr<EscPosReader> reader_;

  std::string raw_;                 // bytes since raw_base_, up to max_raw
  uint64_t raw_base_ = 0;           // stream offset of raw_[0]
  uint64_t stream_pos_ = 0;         // stream offset after the bytes fed so far
  const uint8_t* slice_ = nullptr;  // the bytes being fed now
  uint64_t slice_start_ = 0;
  size_t slice_size_ = 0;
  int64_t last_byte_ms_ = 0;
};

}  // namespace vprinter
