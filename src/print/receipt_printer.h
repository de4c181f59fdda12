// Printing additional receipts: template -> laid-out rows -> SDK calls.
#pragma once

#include <string>
#include <vector>

#include "print/printer_link.h"
#include "print/receipt_types.h"

namespace tillcast {

// Prints `rows` as one document under PrinterLock (opening the port with
// retries), deleting the bitmap files of `rows` afterwards. False when the port never
// opened or a print queue refused the document; the results of single
// calls (bitmaps included) do not count. Thread-safe.
bool PrintRendered(PrinterLink& link, const LayoutParams& params, const std::vector<ReceiptRow>& rows);

// Renders `templateText` against the captured sale receipt `ticketText`
// (ANSI) and prints it on the configured port; true when it was printed.
// Bitmap files go to the data folder. Thread-safe.
bool RenderReceipt(const std::string& ticketText, const std::string& templateText);

// The same with the temporary bitmaps in `folder`.
bool RenderReceiptIn(const std::string& ticketText, const std::string& templateText, const std::string& folder);

}  // namespace tillcast
