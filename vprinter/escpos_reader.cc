#include "escpos_reader.h"

#include <algorithm>
#include <cstdio>

namespace vprinter {
namespace {

constexpr uint8_t kEsc = 0x1B, kGs = 0x1D, kFs = 0x1C, kDle = 0x10;

std::string Name(const char* prefix, uint8_t c) {
  char text[24];
  if (c > 0x20 && c < 0x7F) {
    std::snprintf(text, sizeof(text), "%s %c", prefix, c);
  } else {
    std::snprintf(text, sizeof(text), "%s 0x%02X", prefix, c);
  }
  return text;
}

int Word(const uint8_t* p) { return p[0] | p[1] << 8; }
int SignedWord(const uint8_t* p) { return static_cast<int16_t>(static_cast<uint16_t>(Word(p))); }

void Count(std::vector<std::pair<std::string, uint64_t>>* names, const std::string& name) {
  for (auto& [n, count] : *names) {
    if (n == name) {
      ++count;
      return;
    }
  }
  if (names->size() < ReaderStats::kMaxNames) names->emplace_back(name, 1);
}

std::string List(const std::vector<std::pair<std::string, uint64_t>>& names, uint64_t total) {
  std::string out;
  uint64_t listed = 0;
  for (const auto& [name, count] : names) {
    if (!out.empty()) out += ", ";
    out += name + " x" + std::to_string(count);
    listed += count;
  }
  if (listed < total) out += (out.empty() ? "" : ", ") + std::string("others x") + std::to_string(total - listed);
  return out;
}

}  // namespace

std::string ReaderStats::Describe() const {
  std::string out;
  if (unknown_total > 0) out += std::to_string(unknown_total) + " unknown (" + List(unknown, unknown_total) + ")";
  if (ignored_total > 0) {
    if (!out.empty()) out += "; ";
    out += std::to_string(ignored_total) + " not drawn (" + List(ignored, ignored_total) + ")";
  }
  if (truncated) {
    if (!out.empty()) out += "; ";
    out += "input ended inside a command";
  }
  return out;
}

EscPosReader::EscPosReader(CommandSink* sink, Reply reply) : sink_(sink), reply_(std::move(reply)) {}

void EscPosReader::SetChineseDefault(bool on) {
  chinese_default_ = on;
  chinese_ = on;
}

void EscPosReader::ResetDecoding() {
  chinese_ = chinese_default_;
  code_page_ = 0;
}

void EscPosReader::Emit(const Command& cmd, size_t len) {
  consumed_ = base_ + len;
  sink_->OnCommand(cmd);
}

void EscPosReader::EmitOp(Op op, size_t len, int a, int b) {
  Command cmd;
  cmd.op = op;
  cmd.a = a;
  cmd.b = b;
  Emit(cmd, len);
}

size_t EscPosReader::StartSkip(size_t header, uint64_t payload) {
  if (payload > 0) {
    mode_ = Mode::kSkip;
    left_ = payload;
  }
  return header;
}

size_t EscPosReader::Unknown(const std::string& name, size_t len) {
  ++stats_.unknown_total;
  Count(&stats_.unknown, name);
  return len;
}

size_t EscPosReader::Ignored(const std::string& name, size_t len) {
  ++stats_.ignored_total;
  Count(&stats_.ignored, name);
  return len;
}

void EscPosReader::Answer(std::initializer_list<uint8_t> bytes) {
  if (reply_) reply_(bytes.begin(), bytes.size());
}

void EscPosReader::Feed(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  size_t n = size;
  if (!buf_.empty()) {
    buf_.insert(buf_.end(), data, data + size);
    p = buf_.data();
    n = buf_.size();
  }
  size_t pos = 0;
  while (pos < n) {
    if (mode_ != Mode::kNormal) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(left_, n - pos));
      base_ = consumed_;
      if (mode_ == Mode::kRaster) {
        Command cmd;
        cmd.op = Op::kRasterData;
        cmd.data = p + pos;
        cmd.size = k;
        Emit(cmd, k);
      } else {
        consumed_ += k;
      }
      left_ -= k;
      pos += k;
      if (left_ == 0) {
        const bool raster = mode_ == Mode::kRaster;
        mode_ = Mode::kNormal;
        base_ = consumed_;
        if (raster) EmitOp(Op::kRasterEnd, 0, 1);
      }
      continue;
    }
    base_ = consumed_;
    size_t used = 0;
    if (fsq_images_ > 0) {
      // FS q: the next image's header, then its data.
      if (n - pos < 4) break;
      const uint64_t x = static_cast<uint64_t>(Word(p + pos)), y = static_cast<uint64_t>(Word(p + pos + 2));
      --fsq_images_;
      used = StartSkip(4, x * y * 8);
    } else {
      used = ParseOne(p + pos, n - pos);
      if (used == 0) break;
    }
    consumed_ = base_ + used;
    pos += used;
  }
  if (p == data) {
    buf_.assign(p + pos, p + n);
  } else {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos));
  }
}

void EscPosReader::Finish() {
  if (mode_ == Mode::kRaster) {
    base_ = consumed_;
    EmitOp(Op::kRasterEnd, 0, 0);
  }
  if (mode_ != Mode::kNormal || !buf_.empty() || fsq_images_ > 0) stats_.truncated = true;
  consumed_ += buf_.size();
  buf_.clear();
  mode_ = Mode::kNormal;
  left_ = 0;
  fsq_images_ = 0;
}

size_t EscPosReader::ParseOne(const uint8_t* p, size_t n) {
  switch (p[0]) {
    case kEsc: return ParseEsc(p, n);
    case kGs: return ParseGs(p, n);
    case kFs: return ParseFs(p, n);
    case kDle: return ParseDle(p, n);
    case 0x0A: EmitOp(Op::kLineFeed, 1); return 1;
    case 0x09: EmitOp(Op::kTab, 1); return 1;
    case 0x0C: EmitOp(Op::kFormFeed, 1); return 1;
    case 0x18: EmitOp(Op::kPageCancel, 1); return 1;
    case 0x00:
    case 0x0D:  // carriage return prints nothing without automatic line feed
      return 1;
    default:
      if (p[0] < 0x20) return Unknown(Name("ctrl", p[0]), 1);
      return ParseText(p, n);
  }
}

size_t EscPosReader::ParseText(const uint8_t* p, size_t n) {
  const uint8_t b = p[0];
  if (!chinese_) {
    EmitOp(Op::kChar, 1, static_cast<int>(charset_.SingleByte(b, code_page_)), 0);
    return 1;
  }
  if (b < 0x80) {
    EmitOp(Op::kChar, 1, b, 0);
    return 1;
  }
  if (b == 0x80 || b == 0xFF) {
    EmitOp(Op::kChar, 1, '?', 0);
    return 1;
  }
  if (n < 2) return 0;
  const uint8_t t = p[1];
  if (t < 0x40 || t == 0x7F || t == 0xFF) {
    // A lead byte without its second half: the next byte is read afresh.
    EmitOp(Op::kChar, 1, '?', 0);
    return 1;
  }
  const uint32_t cp = charset_.DoubleByte(b, t);
  EmitOp(Op::kChar, 2, cp != 0 ? static_cast<int>(cp) : 0x25A1, 1);
  return 2;
}

size_t EscPosReader::ParseDle(const uint8_t* p, size_t n) {
  if (n < 2) return 0;
  switch (p[1]) {
    case 0x04: {  // DLE EOT n: real-time status
      if (n < 3) return 0;
      switch (p[2]) {
        case 1: Answer({0x16}); break;  // online, drawer closed
        case 2: Answer({0x12}); break;  // cover closed, not feeding
        case 3: Answer({0x12}); break;  // no error
        case 4: Answer({0x12}); break;  // paper present
        default: break;
      }
      return 3;
    }
    case 0x05:  // DLE ENQ n
      return n < 3 ? 0 : 3;
    case 0x14: {  // DLE DC4 fn ...
      if (n < 3) return 0;
      size_t len = 0;
      switch (p[2]) {
        case 1:
        case 2: len = 5; break;
        case 7: len = 4; break;
        case 8: len = 10; break;
        default: return Unknown(Name("DLE DC4", p[2]), 3);
      }
      return n < len ? 0 : Ignored("DLE DC4", len);
    }
    default: return Unknown("DLE", 1);
  }
}

size_t EscPosReader::ParseEsc(const uint8_t* p, size_t n) {
  if (n < 2) return 0;
  const uint8_t c = p[1];
  // Commands with one parameter byte.
  auto one = [&](Op op) -> size_t {
    if (n < 3) return 0;
    EmitOp(op, 3, p[2]);
    return 3;
  };
  auto skip = [&](size_t len) -> size_t { return n < len ? 0 : len; };
  switch (c) {
    case 0x0C: EmitOp(Op::kPagePrint, 2); return 2;
    case ' ': return one(Op::kRightSpacing);
    case '!': return one(Op::kPrintMode);
    case '$':
      if (n < 4) return 0;
      EmitOp(Op::kAbsolutePos, 4, Word(p + 2));
      return 4;
    case '\\':
      if (n < 4) return 0;
      EmitOp(Op::kRelativePos, 4, SignedWord(p + 2));
      return 4;
    case '-': return one(Op::kUnderline);
    case '2': EmitOp(Op::kDefaultSpacing, 2); return 2;
    case '3': return one(Op::kLineSpacing);
    case '@':
      ResetDecoding();
      EmitOp(Op::kReset, 2);
      return 2;
    case 'E':
    case 'G': return one(Op::kBold);
    case 'J': return one(Op::kFeedUnits);
    case 'd': return one(Op::kFeedLines);
    case 'L': EmitOp(Op::kPageMode, 2); return 2;
    case 'S': EmitOp(Op::kStandardMode, 2); return 2;
    case 'M': return one(Op::kFont);
    case 'T': return one(Op::kPrintDirection);
    case 'a': return one(Op::kAlign);
    case '{': return one(Op::kUpsideDown);
    case 'W': {
      if (n < 10) return 0;
      Command cmd;
      cmd.op = Op::kPageArea;
      cmd.a = Word(p + 2);
      cmd.b = Word(p + 4);
      cmd.c = Word(p + 6);
      cmd.d = Word(p + 8);
      Emit(cmd, 10);
      return 10;
    }
    case 'i':
    case 'm': EmitOp(Op::kCut, 2, 0); return 2;
    case 't':
      if (n < 3) return 0;
      code_page_ = p[2];
      return 3;
    case 'D': {
      // Up to 32 increasing positions ended by NUL.
      const size_t max_len = 2 + 32 + 1;
      size_t i = 2;
      while (i < n && i < max_len && p[i] != 0) ++i;
      size_t len = 0;
      if (i < n && i < max_len) {
        len = i + 1;  // with the NUL
      } else if (i >= max_len) {
        len = 2 + 32;
      } else {
        return 0;
      }
      Command cmd;
      cmd.op = Op::kTabStops;
      cmd.data = p + 2;
      cmd.size = std::min<size_t>(len - 2, 32);
      if (cmd.size > 0 && p[2 + cmd.size - 1] == 0) --cmd.size;
      Emit(cmd, len);
      return len;
    }
    case '*': {
      if (n < 5) return 0;
      const int m = p[2];
      const size_t cols = static_cast<size_t>(Word(p + 3));
      size_t bytes_per_col = 0;
      if (m == 0 || m == 1)
        bytes_per_col = 1;
      else if (m == 32 || m == 33)
        bytes_per_col = 3;
      else
        return Unknown(Name("ESC * mode", static_cast<uint8_t>(m)), 5);
      const size_t len = 5 + cols * bytes_per_col;
      if (n < len) return 0;
      Command cmd;
      cmd.op = Op::kBitImage;
      cmd.a = m;
      cmd.b = static_cast<int>(cols);
      cmd.data = p + 5;
      cmd.size = cols * bytes_per_col;
      Emit(cmd, len);
      return len;
    }
    case '&': {
      // User-defined characters: y c1 c2, then per character x and y*x bytes.
      if (n < 5) return 0;
      const int y = p[2], c1 = p[3], c2 = p[4];
      if (y < 1 || y > 3 || c1 < 32 || c2 > 126 || c1 > c2) return Unknown("ESC & (bad header)", 5);
      size_t len = 5;
      for (int ch = c1; ch <= c2; ++ch) {
        if (n < len + 1) return 0;
        const int x = p[len];
        if (x > 12) return Unknown("ESC & (bad width)", len);
        len += 1 + static_cast<size_t>(y * x);
      }
      return n < len ? 0 : Ignored("ESC &", len);
    }
    case '(': {
      if (n < 5) return 0;
      return Ignored(Name("ESC (", p[2]), StartSkip(5, static_cast<uint64_t>(Word(p + 3))));
    }
    case 'c':
      if (n < 3) return 0;
      if (p[2] == '0' || p[2] == '1' || p[2] == '3' || p[2] == '4' || p[2] == '5') return skip(4);
      return Unknown(Name("ESC c", p[2]), 3);
    case 'p': return skip(5);
    case 'B':
    case 'f': return skip(4);
    case '%':
    case '=':
    case '?':
    case 'K':
    case 'R':
    case 'U':
    case 'e':
    case 'r':
    case 'u': return skip(3);
    case 'V': return n < 3 ? 0 : Ignored("ESC V", 3);
    case '<':
    case 'v': return 2;
    default: return Unknown(Name("ESC", c), 2);
  }
}

size_t EscPosReader::ParseFs(const uint8_t* p, size_t n) {
  if (n < 2) return 0;
  const uint8_t c = p[1];
  auto one = [&](Op op) -> size_t {
    if (n < 3) return 0;
    EmitOp(op, 3, p[2]);
    return 3;
  };
  switch (c) {
    case '&':
      chinese_ = true;
      EmitOp(Op::kChineseOn, 2);
      return 2;
    case '.':
      chinese_ = false;
      EmitOp(Op::kChineseOff, 2);
      return 2;
    case '!': return one(Op::kChinesePrintMode);
    case '-': return one(Op::kChineseUnderline);
    case 'W': return one(Op::kChineseQuadruple);
    case 'S':
      if (n < 4) return 0;
      EmitOp(Op::kChineseSpacing, 4, p[2], p[3]);
      return 4;
    case 'C': return n < 3 ? 0 : 3;
    case '2': return n < 76 ? 0 : Ignored("FS 2", 76);
    case 'p': return n < 4 ? 0 : Ignored("FS p", 4);
    case 'q': {
      if (n < 3) return 0;
      fsq_images_ = p[2];
      return Ignored("FS q", 3);
    }
    case 'g': {
      if (n < 3) return 0;
      if (p[2] == '1') {
        if (n < 10) return 0;
        return Ignored("FS g 1", StartSkip(10, static_cast<uint64_t>(Word(p + 8))));
      }
      if (p[2] == '2') return n < 10 ? 0 : Ignored("FS g 2", 10);
      return Unknown(Name("FS g", p[2]), 3);
    }
    case '(': {
      if (n < 5) return 0;
      return Ignored(Name("FS (", p[2]), StartSkip(5, static_cast<uint64_t>(Word(p + 3))));
    }
    default: return Unknown(Name("FS", c), 2);
  }
}

size_t EscPosReader::ParseQr(const uint8_t* p, size_t len) {
  // p: GS ( k pL pH cn fn ...; `len` = pL + pH * 256.
  const size_t total = 5 + len;
  if (len < 2) return Ignored("GS ( k", total);
  const uint8_t cn = p[5], fn = p[6];
  if (cn != 49) return Ignored("GS ( k (not QR)", total);
  switch (fn) {
    case 65:
      if (len >= 3) EmitOp(Op::kQrModel, total, p[7]);
      return total;
    case 67:
      if (len >= 3) EmitOp(Op::kQrSize, total, p[7]);
      return total;
    case 69:
      if (len >= 3) EmitOp(Op::kQrLevel, total, p[7]);
      return total;
    case 80: {
      Command cmd;
      cmd.op = Op::kQrStore;
      cmd.data = len >= 3 ? p + 8 : nullptr;
      cmd.size = len >= 3 ? len - 3 : 0;
      Emit(cmd, total);
      return total;
    }
    case 81: EmitOp(Op::kQrPrint, total); return total;
    default: return Ignored(Name("GS ( k QR fn", fn), total);
  }
}

size_t EscPosReader::ParseGs(const uint8_t* p, size_t n) {
  if (n < 2) return 0;
  const uint8_t c = p[1];
  auto one = [&](Op op) -> size_t {
    if (n < 3) return 0;
    EmitOp(op, 3, p[2]);
    return 3;
  };
  auto word = [&](Op op) -> size_t {
    if (n < 4) return 0;
    EmitOp(op, 4, Word(p + 2));
    return 4;
  };
  auto skip = [&](size_t len) -> size_t { return n < len ? 0 : len; };
  switch (c) {
    case '!': return one(Op::kCharSize);
    case 'B': return one(Op::kReverse);
    case '$': return word(Op::kAbsoluteVertical);
    case '\\':
      if (n < 4) return 0;
      EmitOp(Op::kRelativeVertical, 4, SignedWord(p + 2));
      return 4;
    case 'L': return word(Op::kLeftMargin);
    case 'W': return word(Op::kAreaWidth);
    case 'P':
      if (n < 4) return 0;
      EmitOp(Op::kMotionUnits, 4, p[2], p[3]);
      return 4;
    case 'V': {
      if (n < 3) return 0;
      const uint8_t m = p[2];
      if (m == 0 || m == 1 || m == 48 || m == 49) {
        EmitOp(Op::kCut, 3, 0);
        return 3;
      }
      if (m == 65 || m == 66 || m == 97 || m == 98 || m == 103 || m == 104) {
        if (n < 4) return 0;
        EmitOp(Op::kCut, 4, p[3]);
        return 4;
      }
      return Unknown(Name("GS V", m), 3);
    }
    case 'v': {
      if (n < 3) return 0;
      if (p[2] != '0') return Unknown(Name("GS v", p[2]), 3);
      if (n < 8) return 0;
      const uint64_t width = static_cast<uint64_t>(Word(p + 4)), height = static_cast<uint64_t>(Word(p + 6));
      Command cmd;
      cmd.op = Op::kRasterBegin;
      cmd.a = p[3];
      cmd.b = static_cast<int>(width);
      cmd.c = static_cast<int>(height);
      Emit(cmd, 8);
      if (width * height == 0) {
        EmitOp(Op::kRasterEnd, 8, 1);
      } else {
        mode_ = Mode::kRaster;
        left_ = width * height;
      }
      return 8;
    }
    case '(': {
      if (n < 5) return 0;
      const size_t len = static_cast<size_t>(Word(p + 3));
      if (p[2] == 'k') return n < 5 + len ? 0 : ParseQr(p, len);
      return Ignored(Name("GS (", p[2]), StartSkip(5, len));
    }
    case '8': {
      if (n < 7) return 0;
      if (p[2] != 'L' && p[2] != 'k') return Unknown(Name("GS 8", p[2]), 3);
      const uint64_t len = static_cast<uint64_t>(p[3]) | static_cast<uint64_t>(p[4]) << 8 |
                           static_cast<uint64_t>(p[5]) << 16 | static_cast<uint64_t>(p[6]) << 24;
      return Ignored(Name("GS 8", p[2]), StartSkip(7, len));
    }
    case '*': {
      if (n < 4) return 0;
      return Ignored("GS *", StartSkip(4, static_cast<uint64_t>(p[2]) * p[3] * 8));
    }
    case 'Q': {
      if (n < 8) return 0;
      if (p[2] != '0') return Unknown(Name("GS Q", p[2]), 3);
      return Ignored("GS Q 0", StartSkip(8, static_cast<uint64_t>(Word(p + 4)) * static_cast<uint64_t>(Word(p + 6))));
    }
    case 'k': {
      if (n < 3) return 0;
      const uint8_t m = p[2];
      if (m <= 6) {
        // Data ended by NUL, at most 255 bytes.
        size_t i = 3;
        while (i < n && i < 3 + 256 && p[i] != 0) ++i;
        if (i < n && p[i] == 0) return Ignored("GS k", i + 1);
        if (i >= 3 + 256) return Ignored("GS k", i);
        return 0;
      }
      if (m >= 65 && m <= 79) {
        if (n < 4) return 0;
        return n < 4u + p[3] ? 0 : Ignored("GS k", 4u + p[3]);
      }
      return Unknown(Name("GS k", m), 3);
    }
    case 'r': {
      if (n < 3) return 0;
      if (p[2] == 1 || p[2] == 2 || p[2] == 49 || p[2] == 50) Answer({0x00});
      return 3;
    }
    case 'I': {
      if (n < 3) return 0;
      switch (p[2]) {
        case 1:
        case 49: Answer({0x20}); break;
        case 2:
        case 50: Answer({0x02}); break;
        case 3:
        case 51: Answer({0x10}); break;
        case 65: Answer({'_', '1', '.', '0', 0}); break;
        case 66: Answer({'_', 'T', 'I', 'L', 'L', 'C', 'A', 'S', 'T', 0}); break;
        case 67: Answer({'_', 'V', 'P', 'R', 'I', 'N', 'T', 'E', 'R', 0}); break;
        default: break;
      }
      return 3;
    }
    case 'C': {
      if (n < 3) return 0;
      if (p[2] == '0' || p[2] == 0 || p[2] == '2' || p[2] == 2) return skip(5);
      if (p[2] == '1' || p[2] == 1) return skip(9);
      return Unknown(Name("GS C", p[2]), 3);
    }
    case 'g': {
      if (n < 3) return 0;
      if (p[2] == '0' || p[2] == '2') return skip(6);
      return Unknown(Name("GS g", p[2]), 3);
    }
    case 'z': return skip(5);
    case '^': return skip(5);
    case '/': return n < 3 ? 0 : Ignored("GS /", 3);
    case 'E':
    case 'H':
    case 'T':
    case 'a':
    case 'b':
    case 'f':
    case 'h':
    case 'j':
    case 'w': return skip(3);
    case ':':
    case 'c': return 2;
    default: return Unknown(Name("GS", c), 2);
  }
}

}  // namespace vprinter
