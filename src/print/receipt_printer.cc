#include "print/receipt_printer.h"

#include <algorithm>
#include <climits>

#include "base/log.h"
#include "base/printer_settings.h"
#include "base/text_util.h"
#include "platform/paths.h"
#include "print/image_info.h"
#include "print/qr_bitmap.h"
#include "print/receipt_layout.h"
#include "print/receipt_template.h"
#include "print/sdk_binding.h"

namespace tillcast {
namespace {

// Dots as the SDK takes them.
int Dots(long long v) { return static_cast<int>(std::clamp<long long>(v, 0, INT_MAX)); }

bool HasRenderSlots(const PosSdkTable& s) {
  return s.POS_StartDoc && s.POS_EndDoc && s.POS_SetMotionUnit && s.POS_SetMode && s.POS_SetLineSpacing &&
         s.POS_S_TextOut && s.POS_S_DownloadAndPrintBmp && s.POS_FeedLine && s.POS_PL_Print && s.POS_PL_Clear &&
         s.POS_CutPaper;
}

// Prints the bitmap at `p`. Continuation rows share the file; it is
// deleted with the others once the document is done.
void PrintImage(const PosSdkTable& sdk, const std::string& path, long long p) {
  if (path.empty() || !platform::PathExists(path)) return;
  sdk.POS_S_DownloadAndPrintBmp(path.c_str(), Dots(p), 0);
}

void PrintRow(const PosSdkTable& sdk, const LayoutParams& params, const ReceiptRow& row, int* lastSpacing) {
  if (row.lineSpace > 0 && row.lineSpace != *lastSpacing) {
    sdk.POS_SetLineSpacing(row.lineSpace);
    *lastSpacing = row.lineSpace;
  }
  const long long ppc = params.pixelsPerChar;
  long long x = static_cast<long long>(params.leftMargin) * ppc;
  for (const ReceiptCell& cell : row.cells) {
    const long long cellDots = static_cast<long long>(cell.width) * ppc;
    if (cell.kind == kCellText) {
      sdk.POS_S_TextOut(cell.content.c_str(), Dots(x), std::max(cell.wscale, 1), std::max(cell.hscale, 1),
                        cell.fontType, cell.style);
      x += cellDots;
    } else if (cell.kind == kCellQrCode) {
      const long long w = QrBitmapSide(cell.scale);
      long long p = x;
      if (cell.align == kAlignCenter)
        p = ((cellDots - x) - w) / 2 + x;
      else if (cell.align == kAlignRight)
        p = x + std::max(0LL, cellDots - x - w);
      PrintImage(sdk, cell.imagePath, p);
      x += w;
    } else {
      int width = 0, height = 0;
      long long w = 0;
      if (!cell.imagePath.empty() && ImageFileSize(cell.imagePath, &width, &height)) w = width;
      const long long a = cellDots - x;
      if (w > a) w = a;
      long long p = x;
      if (cell.align == kAlignCenter)
        p = (a - w) / 2 + x;
      else if (cell.align == kAlignRight)
        p = x + std::max(0LL, a - w);
      PrintImage(sdk, cell.imagePath, p);
      x += w;
    }
  }
  for (int i = 0; i < row.blankLine + 1; ++i) sdk.POS_FeedLine();
}

}  // namespace

bool PrintRendered(PrinterLink& link, const LayoutParams& params, const std::vector<ReceiptRow>& rows) {
  std::lock_guard<std::mutex> l(PrinterLock());
  const PosSdkTable& sdk = PrinterSdk();
  if (!OpenPortWithRetries(link) || !HasRenderSlots(sdk)) {
    ClosePort(link);
    // Pictures too: nothing else would ever delete them.
    RemoveImages(rows);
    return false;
  }
  if (link.isDriver) sdk.POS_StartDoc();
  sdk.POS_SetMotionUnit(180, 180);
  sdk.POS_SetMode(0);
  int lastSpacing = 0;
  for (const ReceiptRow& row : rows) PrintRow(sdk, params, row, &lastSpacing);
  sdk.POS_FeedLine();
  sdk.POS_FeedLine();
  sdk.POS_PL_Print();
  sdk.POS_PL_Clear();
  sdk.POS_CutPaper(0, 0);
  // A print queue that refuses the finished job has printed nothing.
  const bool queued = !link.isDriver || sdk.POS_EndDoc() == POS_SUCCESS;
  ClosePort(link);
  RemoveImages(rows);  // any bitmap that was not printed
  return queued;
}

namespace {

// Lays out every source row; false (with its lines) past kMaxLaidOutRows.
bool LayoutAll(const std::vector<ReceiptRow>& source, std::vector<ReceiptRow>* rows) {
  rows->clear();
  for (const ReceiptRow& row : source) {
    if (!LayoutRow(rows, row)) {
      Log(LOG_ERROR, "additional receipt refused: more than %zu printed rows", kMaxLaidOutRows);
      return false;
    }
  }
  return true;
}

}  // namespace

bool RenderReceiptIn(const std::string& ticketText, const std::string& templateText, const std::string& folder) {
  ParsedTemplate parsed;
  if (ParseReceiptTemplate(ticketText, templateText, &parsed) != TemplateResult::kOk) return false;

  // A template of many pictures, or of rows that repeat them, is refused
  // before any bitmap is written: such a receipt holds the printer for
  // hours.
  const PrinterSettings limits = GetPrinterSettings();
  std::vector<ReceiptRow> rows;
  if (!LayoutAll(parsed.rows, &rows)) {
    Log(LOG_INFO, "追加打印失败");
    return false;
  }
  if (const size_t pictures = CountPictures(rows); pictures > static_cast<size_t>(limits.receiptMaxPictures)) {
    Log(LOG_ERROR, "additional receipt refused: %zu pictures and QR codes, at most %d ([printer] receipt_max_pictures)",
        pictures, limits.receiptMaxPictures);
    Log(LOG_INFO, "追加打印失败");
    return false;
  }

  // Bitmaps once per template cell, then the layout again: continuation
  // rows share the file instead of decoding the picture again for each.
  PrepareImages(&parsed.rows, folder);
  LayoutAll(parsed.rows, &rows);
  if (const size_t bytes = EstimatePrinterBytes(rows); bytes > static_cast<size_t>(limits.receiptMaxKb) * 1024) {
    RemoveImages(parsed.rows);
    Log(LOG_ERROR, "additional receipt refused: about %zu KB for the printer, at most %d KB ([printer] receipt_max_kb)",
        (bytes + 1023) / 1024, limits.receiptMaxKb);
    Log(LOG_INFO, "追加打印失败");
    return false;
  }

  PrinterLink link;
  if (PrintRendered(link, parsed.params, rows)) {
    Log(LOG_INFO, "追加打印完成 ");
    return true;
  }
  Log(LOG_INFO, "追加打印失败");
  return false;
}

bool RenderReceipt(const std::string& ticketText, const std::string& templateText) {
  return RenderReceiptIn(ticketText, templateText, GetDataFolder());
}

}  // namespace tillcast
