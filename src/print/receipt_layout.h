// Laying out template rows on paper: wrapping text cells into continuation
// rows, aligning them, and writing the bitmap files of QR and picture cells.
#pragma once

#include <string>
#include <vector>

#include "print/receipt_types.h"

namespace tillcast {

// A receipt never lays out more rows than this; longer ones are refused.
inline constexpr size_t kMaxLaidOutRows = 1000;
// Alignment never prefixes more spaces than this.
inline constexpr int kMaxAlignPadding = 1024;

// Appends one printable row per pass until no text cell overflows its
// width; text is cut at a whole GBK character. False when `out` would grow
// past kMaxLaidOutRows (rows appended so far stay). Pure; bitmap files are
// made by PrepareImages, before the layout, so continuation rows share them.
bool LayoutRow(std::vector<ReceiptRow>* out, const ReceiptRow& row);

// Bytes of `text` that fit in `limit` cells without splitting a double-byte
// character; at least one character when `limit` is below one.
size_t FittingBytes(const std::string& text, long long limit);

// Writes the bitmap of every QR and picture cell to a temporary file in
// `folder`, sets its imagePath and empties its content (the text or the
// Base64 picture). A QR code that cannot be encoded keeps an empty path.
void PrepareImages(std::vector<ReceiptRow>* rows, const std::string& folder);

// Deletes the bitmap files of all cells (those that exist).
void RemoveImages(const std::vector<ReceiptRow>& rows);

// Pictures (QR codes and pictures) laid-out rows print: a picture cell is
// printed again on every continuation row of its row. Needs no files.
size_t CountPictures(const std::vector<ReceiptRow>& rows);

// About how many bytes laid-out rows send to the printer: text with its
// attributes, line feeds, and the raster data of every printed bitmap,
// measured from the files PrepareImages wrote.
size_t EstimatePrinterBytes(const std::vector<ReceiptRow>& rows);

// "<folder>/<tick><ext>", or "<folder>/<tick>_<n><ext>" for the n-th further
// file of the same millisecond, so no two files share a name. Thread-safe.
std::string TempImagePath(const std::string& folder, const char* ext);

}  // namespace tillcast
