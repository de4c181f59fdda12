#include "print/receipt_layout.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "base/text_util.h"
#include "data/codec.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "print/image_info.h"
#include "print/qr_bitmap.h"

namespace tillcast {
namespace {

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Length of the character starting at `pos`.
size_t CharLength(const std::string& text, size_t pos) {
  return IsLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size() ? 2 : 1;
}

int32_t Scale(int32_t v) { return v < 1 ? 1 : v; }

void Align(ReceiptCell* cell) {
  if (cell->kind != kCellText || cell->align == kAlignLeft) return;
  const long long wscale = Scale(cell->wscale);
  const long long textWidth = static_cast<long long>(cell->content.size()) * wscale;
  long long pad = 0;
  if (cell->align == kAlignCenter)
    pad = ((cell->width - textWidth) / 2) / wscale;
  else if (cell->align == kAlignRight)
    pad = (cell->width - textWidth) / wscale;
  if (pad <= 0) return;
  cell->content.insert(0, static_cast<size_t>(std::min<long long>(pad, kMaxAlignPadding)), ' ');
}

}  // namespace

size_t FittingBytes(const std::string& text, long long limit) {
  if (text.empty()) return 0;
  if (limit < 1) return CharLength(text, 0);  // always make progress
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t next = pos + CharLength(text, pos);
    if (static_cast<long long>(next) > limit) break;
    pos = next;
  }
  return pos == 0 ? CharLength(text, 0) : pos;
}

bool LayoutRow(std::vector<ReceiptRow>* out, const ReceiptRow& row) {
  ReceiptRow source = row;
  bool overflow = true;
  while (overflow) {
    overflow = false;
    if (out->size() >= kMaxLaidOutRows) return false;
    ReceiptRow line;
    line.lineSpace = source.lineSpace;
    line.blankLine = source.blankLine;
    for (ReceiptCell& cell : source.cells) {
      ReceiptCell copy = cell;
      if (cell.kind == kCellText) {
        const long long wscale = Scale(cell.wscale);
        const long long textWidth = static_cast<long long>(cell.content.size()) * wscale;
        if (textWidth > cell.width) {
          const size_t take = FittingBytes(cell.content, cell.width / wscale);
          copy.content = cell.content.substr(0, take);
          cell.content.erase(0, take);
          overflow = !cell.content.empty() || overflow;
        } else {
          cell.content.clear();
        }
      }
      line.cells.push_back(std::move(copy));
    }
    for (ReceiptCell& cell : line.cells) Align(&cell);
    out->push_back(std::move(line));
  }
  return true;
}

std::string TempImagePath(const std::string& folder, const char* ext) {
  static std::mutex mu;
  static uint32_t lastTick = 0;
  static unsigned sameTick = 0;
  std::lock_guard<std::mutex> l(mu);
  const uint32_t tick = platform::SystemClock()->TickCount();
  if (tick == lastTick) {
    ++sameTick;
  } else {
    lastTick = tick;
    sameTick = 0;
  }
  for (;;) {
    std::string path = folder + "/" + std::to_string(tick);
    if (sameTick > 0) path += "_" + std::to_string(sameTick);
    path += ext;
    // A file left over from an earlier run must not be reused either.
    if (!platform::PathExists(path)) return path;
    ++sameTick;
  }
}

void PrepareImages(std::vector<ReceiptRow>* rows, const std::string& folder) {
  for (ReceiptRow& row : *rows) {
    for (ReceiptCell& cell : row.cells) {
      if (cell.kind == kCellQrCode) {
        const std::string path = TempImagePath(folder, ".bmp");
        if (MakeQrBitmap(cell.content, path, cell.scale)) cell.imagePath = path;
      } else if (cell.kind == kCellPicture) {
        const std::string path = TempImagePath(folder, ".dat");
        const std::vector<unsigned char> bytes = Base64Decode(cell.content);
        WriteBufferToFile(path, bytes.data(), bytes.size(), true, false);
        cell.imagePath = path;
      }
      // The file holds the bitmap now; copies of the cell carry only its path.
      if (cell.kind == kCellQrCode || cell.kind == kCellPicture) cell.content.clear();
    }
  }
}

void RemoveImages(const std::vector<ReceiptRow>& rows) {
  for (const ReceiptRow& row : rows) {
    for (const ReceiptCell& cell : row.cells) {
      if (!cell.imagePath.empty()) std::remove(cell.imagePath.c_str());
    }
  }
}

size_t CountPictures(const std::vector<ReceiptRow>& rows) {
  size_t pictures = 0;
  for (const ReceiptRow& row : rows) {
    for (const ReceiptCell& cell : row.cells) pictures += cell.kind == kCellQrCode || cell.kind == kCellPicture;
  }
  return pictures;
}

size_t EstimatePrinterBytes(const std::vector<ReceiptRow>& rows) {
  // Position and attributes the printer library sends before each text.
  constexpr size_t kTextCommandBytes = 19;
  // A raster image's band headers, per image.
  constexpr size_t kRasterCommandBytes = 16;
  size_t bytes = 0;
  for (const ReceiptRow& row : rows) {
    bytes += 3 + static_cast<size_t>(std::max(row.blankLine + 1, 0));  // spacing, line feeds
    for (const ReceiptCell& cell : row.cells) {
      if (cell.kind == kCellText) {
        if (!cell.content.empty()) bytes += kTextCommandBytes + cell.content.size();
        continue;
      }
      int width = 0, height = 0;
      if (cell.kind == kCellQrCode) {
        if (cell.imagePath.empty()) continue;  // not encodable: prints nothing
        width = height = QrBitmapSide(cell.scale);
      } else if (cell.imagePath.empty() || !ImageFileSize(cell.imagePath, &width, &height)) {
        continue;
      }
      bytes += kRasterCommandBytes +
               (static_cast<size_t>(std::max(width, 0)) + 7) / 8 * static_cast<size_t>(std::max(height, 0));
    }
  }
  return bytes;
}

}  // namespace tillcast
