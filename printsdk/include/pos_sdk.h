/*
 * POS printer SDK: opens a receipt printer on a serial port, a parallel or
 * USB printer device (or any file), a CUPS queue, or the network (raw TCP,
 * port 9100), and encodes text,
 * bitmaps, spacing and cutting as ESC/POS commands.
 *
 * Every function returns POS_SUCCESS (1001) or POS_FAIL (1002) unless
 * stated otherwise. Functions without a handle argument act on the current
 * port: the one opened last, or the one chosen with POS_SetHandle.
 *
 * Thread-safe: calls are serialised inside the library. Text arguments are
 * bytes in the printer's code page (GBK for Chinese printers).
 */
#ifndef TILLCAST_POS_SDK_H_
#define TILLCAST_POS_SDK_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(POS_SDK_BUILD)
#define POS_API __attribute__((visibility("default")))
#else
#define POS_API
#endif

typedef intptr_t POS_HANDLE;

#define POS_SUCCESS 1001
#define POS_FAIL 1002
#define POS_ERROR_INVALID_HANDLE 1101
#define POS_INVALID_HANDLE ((POS_HANDLE)-1)

/* Last argument of POS_Open for the non-serial kinds of port. */
#define POS_OPEN_PARALLEL 0x12
#define POS_OPEN_NETWORK 0x13
#define POS_OPEN_PRINTER_NAME 0x14

/* Serial settings as POS_Open takes them. */
#define POS_STOPBITS_1 0
#define POS_STOPBITS_1_5 1
#define POS_STOPBITS_2 2
#define POS_PARITY_NONE 0
#define POS_PARITY_ODD 1
#define POS_PARITY_EVEN 2
#define POS_PARITY_MARK 3
#define POS_PARITY_SPACE 4
#define POS_FLOW_HARDWARE 1
#define POS_FLOW_XONXOFF 2
#define POS_FLOW_NONE 3

/* Style flags of the text functions. */
#define POS_STYLE_BOLD 8
#define POS_STYLE_UNDERLINE 128
#define POS_STYLE_DOUBLE_UNDERLINE 256

/*
 * Opens a port and makes it current. `param` POS_OPEN_PARALLEL: `name` is a
 * printer device or file path ("LPTn" means /dev/lp<n-1>), written raw;
 * POS_OPEN_PRINTER_NAME: `name` is a CUPS queue, one raw job per document;
 * POS_OPEN_NETWORK: `name` is a network printer "HOST:PORT" ("[IPv6]:PORT";
 * port 9100 when left out), raw over one TCP connection (given 2 s to
 * connect) that POS_Close ends once the printer has ended its side (at most
 * 2 s later); any other value: `name` is a serial device ("COMn" means
 * /dev/ttyS<n-1>), `param` its flow control (POS_FLOW_*). Returns the handle, or
 * POS_INVALID_HANDLE with errno telling why.
 */
POS_API POS_HANDLE POS_Open(const char* name, int baudrate, int dataBits, int stopBits, int parity, int param);
/* Closes the current port (ends an open document first). POS_ERROR_INVALID_HANDLE
 * when no port is open. */
POS_API int POS_Close(void);
/* ESC @: printer back to its power-on settings. */
POS_API int POS_Reset(void);
/* 0 standard mode (ESC S), 1 page mode (ESC L). */
POS_API int POS_SetMode(int mode);
/* GS P: motion units per inch, horizontal and vertical (0..255). */
POS_API int POS_SetMotionUnit(int horizontal, int vertical);
/* ESC R and ESC t: international character set and code table. */
POS_API int POS_SetCharSetAndCodePage(int charSet, int codePage);
/* LF. */
POS_API int POS_FeedLine(void);
/* ESC 3: line spacing in vertical motion units (0..255). */
POS_API int POS_SetLineSpacing(int spacing);
/* ESC SP: right-side character spacing (0..255). */
POS_API int POS_SetRightSpacing(int spacing);
/* Stored images are not supported: POS_FAIL. */
POS_API int POS_PreDownloadBmpToRAM(const char* path, int id);
POS_API int POS_PreDownloadBmpsToFlash(const char* const* paths, int count);
/* GS r 1: paper sensor status byte of the current port, within `timeoutMs`. */
POS_API int POS_QueryStatus(unsigned char* status, int timeoutMs);
/* DLE EOT 1 to the network printer at `address` ("HOST:PORT", as
 * POS_Open takes it) on a connection of its own, which leaves the current
 * port alone: the real-time status byte, within 1 s. */
POS_API int POS_NETQueryStatus(const char* address, unsigned char* status);
/* DLE EOT 1: real-time printer status byte of the current port (1 s wait). */
POS_API int POS_RTQueryStatus(unsigned char* status);
/* The same, waiting at most `timeoutMs` for the answer: a serial printer
 * that is switched off still opens, and only its silence tells. */
POS_API int POS_RTQueryStatusEx(unsigned char* status, int timeoutMs);
/* ESC p: drawer pulse on pin 0 or 1, on and off times in 2 ms units. */
POS_API int POS_KickOutDrawer(int pin, int onTime, int offTime);
/* GS V: mode 0 full cut, 1 partial cut; `feed` > 0 feeds that many vertical
 * motion units first. */
POS_API int POS_CutPaper(int mode, int feed);
/* Bracket one document; on a CUPS queue a document is one job. No-ops on
 * other ports. */
POS_API int POS_StartDoc(void);
POS_API int POS_EndDoc(void);
/* Between these two, output goes to the file `path` instead of the port. */
POS_API int POS_EndSaveFile(void);
POS_API int POS_BeginSaveFile(const char* path, int append);
/* GS W: printing area width in horizontal motion units. */
POS_API int POS_S_SetAreaWidth(int width);
/* Standard mode text at `x` motion units from the left, width and height
 * multiples 1..8, font 0..2, style flags POS_STYLE_*. */
POS_API int POS_S_TextOut(const char* text, int x, int widthTimes, int heightTimes, int fontType, int style);
/* Reads a BMP (1, 4, 8, 24, 32 bits) or PNG file and prints it as a raster
 * image `x` dots from the left; mode 0 normal, 1 double width, 2 double
 * height, 3 both. */
POS_API int POS_S_DownloadAndPrintBmp(const char* path, int x, int mode);
/* Stored images are not supported: POS_FAIL. */
POS_API int POS_S_PrintBmpInRAM(int id, int x, int mode);
POS_API int POS_S_PrintBmpInFlash(int id, int x, int mode);
/* GS k: barcode `type` 0 UPC-A, 1 UPC-E, 2 EAN13, 3 EAN8, 4 CODE39, 5 ITF,
 * 6 CODABAR, 7 CODE93, 8 CODE128; module width 2..6, height in dots 1..255,
 * HRI font 0..1 and position 0..3; `length` bytes of `data`. */
POS_API int POS_S_SetBarcode(const char* data, int x, int type, int width, int height, int hriFont, int hriPosition,
                             int length);
/* Page mode: printing area (ESC W) and direction 0..3 (ESC T). */
POS_API int POS_PL_SetArea(int x, int y, int width, int height, int direction);
POS_API int POS_PL_TextOut(const char* text, int x, int y, int widthTimes, int heightTimes, int fontType, int style);
/* Page mode images are not supported: POS_FAIL. */
POS_API int POS_PL_DownloadAndPrintBmp(const char* path, int x, int y, int mode);
POS_API int POS_PL_PrintBmpInRAM(int id, int x, int y, int mode);
POS_API int POS_PL_SetBarcode(const char* data, int x, int y, int type, int width, int height, int hriFont,
                              int hriPosition, int length);
/* Page mode: print the page (ESC FF) or discard it (CAN); nothing in
 * standard mode. */
POS_API int POS_PL_Print(void);
POS_API int POS_PL_Clear(void);
/* Raw bytes to the port `handle`. */
POS_API int POS_WriteFile(POS_HANDLE handle, const unsigned char* data, unsigned int length);
/* Up to `size` bytes from the port `handle`, waiting at most `timeoutMs` for
 * the first; `*received` gets the count. */
POS_API int POS_ReadFile(POS_HANDLE handle, unsigned char* buffer, unsigned int size, unsigned int* received,
                         int timeoutMs);
/* Makes an open port current. */
POS_API int POS_SetHandle(POS_HANDLE handle);
/* Version of this library. */
POS_API int POS_GetVersionInfo(int* major, int* minor);

#ifdef __cplusplus
}
#endif

#endif /* TILLCAST_POS_SDK_H_ */
