// Splits a stream of ESC/POS bytes into commands for a printer model.
//
// Bytes may arrive in pieces of any size; a command cut between two pieces
// waits for the rest. Only small commands are held whole (at most one
// 65,535-byte QR payload or one ESC * line); raster images and long
// payloads of commands we do not draw stream through, so memory stays
// bounded whatever the input says. Commands we do not know are skipped by
// their length and counted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "charset.h"
#include "commands.h"

namespace vprinter {

// What a stretch of input held beyond the drawn commands.
struct ReaderStats {
  uint64_t unknown_total = 0;  // commands not in our table
  uint64_t ignored_total = 0;  // known commands that draw nothing here
  // Names with counts, at most kMaxNames each; the rest only in the totals.
  std::vector<std::pair<std::string, uint64_t>> unknown;
  std::vector<std::pair<std::string, uint64_t>> ignored;
  bool truncated = false;  // the stream ended inside a command

  static constexpr size_t kMaxNames = 6;
  // "3 unknown (ESC 0x5E x2, GS 0x79 x1)"-style text; "" when nothing.
  std::string Describe() const;
};

// Not thread-safe: one reader per stream.
class EscPosReader {
 public:
  // Answers to status requests go to `reply` (may be empty: no answers).
  using Reply = std::function<void(const uint8_t* data, size_t size)>;

  // `sink` must outlive the reader.
  explicit EscPosReader(CommandSink* sink, Reply reply = nullptr);

  // The state after ESC @ and at start: Chinese mode on or off.
  void SetChineseDefault(bool on);

  // Processes every complete command of the bytes so far.
  void Feed(const uint8_t* data, size_t size);
  // End of input: an incomplete command is dropped (stats().truncated) and
  // an unfinished raster image is ended.
  void Finish();

  // Bytes of input fully dealt with; during a callback, the end of the
  // command being delivered.
  uint64_t consumed() const { return consumed_; }

  const ReaderStats& stats() const { return stats_; }
  void ResetStats() { stats_ = ReaderStats{}; }

  // Bytes held for an incomplete command (for tests of the memory bound).
  size_t pending() const { return buf_.size(); }

 private:
  enum class Mode { kNormal, kRaster, kSkip };

  size_t ParseOne(const uint8_t* p, size_t n);
  size_t ParseEsc(const uint8_t* p, size_t n);
  size_t ParseGs(const uint8_t* p, size_t n);
  size_t ParseFs(const uint8_t* p, size_t n);
  size_t ParseDle(const uint8_t* p, size_t n);
  size_t ParseText(const uint8_t* p, size_t n);
  size_t ParseQr(const uint8_t* p, size_t len);

  void Emit(const Command& cmd, size_t len);
  void EmitOp(Op op, size_t len, int a = 0, int b = 0);
  // Starts skipping `payload` bytes after a header of `header` bytes.
  size_t StartSkip(size_t header, uint64_t payload);
  size_t Unknown(const std::string& name, size_t len);
  size_t Ignored(const std::string& name, size_t len);
  void Answer(std::initializer_list<uint8_t> bytes);
  void ResetDecoding();

  CommandSink* sink_;
  Reply reply_;
  Charset charset_;
  bool chinese_default_ = false;
  bool chinese_ = false;
  int code_page_ = 0;

  std::vector<uint8_t> buf_;  // an incomplete command
  uint64_t base_ = 0;         // stream offset of the command being parsed
  uint64_t consumed_ = 0;
  Mode mode_ = Mode::kNormal;
  uint64_t left_ = 0;   // bytes left of a raster or a skip
  int fsq_images_ = 0;  // FS q images whose header is still to come
  ReaderStats stats_;
};

}  // namespace vprinter
