// Platform seam for the print job: the common print dialog, printer device
// contexts, the settings record, the document and page calls and the label
// image. The job's decisions live in print_job.cpp; these functions only
// translate.
//
// Backends (one per target):
// - printing_win.cpp: comdlg32's PrintDlgW, GDI, GDI+ (Windows);
// - printing_cups.cpp with label_image_posix.cpp, default_destination_cups.cpp
//   and scheduler_job_cups.cpp: the CUPS scheduler, a cairo PDF page and
//   gdk-pixbuf (Linux, macOS); the error codes it reports are IPP statuses;
// - tests/fakes/render/printing_fake.cpp: in memory, for the unit tests.
// Calls that reach the spooler or the scheduler block for that round trip
// (CUPS: also while all shared scheduler connections are in use, see
// base/scheduler_connection.h); the others return at once.
#pragma once
#include <string>

// Opaque platform object (a device context, a memory handle, an image);
// null means none.
typedef void* PrintHandle;

// What PrintDlgW hands back; each may be null. The caller releases them with
// FreePrintDialog.
struct PrintDialogHandles {
  PrintHandle devMode;
  PrintHandle devNames;
  PrintHandle dc;
};

// The DEVMODEW fields the job writes.
struct PageSettings {
  unsigned long addFields;  // OR-ed into dmFields
  short orientation;
  short paperSize;
  short paperLength;  // tenths of a millimetre
  short paperWidth;   // tenths of a millimetre
};

// PrintDlgW with a zeroed PRINTDLGW. silentDefault: PD_RETURNDEFAULT |
// PD_RETURNDC, shows nothing and fails when there is no default printer.
// Otherwise flags 0: the modal Print dialog without owner, blocking until
// the user closes it; fails on Cancel. True when PrintDlgW returned non-zero.
// CUPS: the default destination's options, one round trip while they are
// unchanged (more when they changed); the dialog form always fails.
bool RunPrintDialog(bool silentDefault, PrintDialogHandles* handles);
// Deletes the dialog's device context and frees both memory handles.
// Does not block.
void FreePrintDialog(const PrintDialogHandles& handles);

// CreateDCW(null, device, null, null). Null on failure, with GetLastError
// in *lastError (Win32: 1801 for a name no queue has; CUPS: the IPP status,
// 1030 not found, 1282 when the scheduler cannot be reached). dialog is what
// RunPrintDialog gave this job: CUPS takes from it the queue the scheduler
// has just named its default, which needs no second look-up; Win32 and the
// fake ignore it. Blocks for one round trip (CUPS: none for that default).
PrintHandle CreatePrinterDc(const std::wstring& device, const PrintDialogHandles& dialog,
                            unsigned long* lastError);
// Whether CreatePrinterDc's error code says no queue has that name.
bool IsUnknownPrinterError(unsigned long lastError);
// The device name of a queue named in UTF-8 (as the spooler lists it to
// pages); the spooler's own name text, never a code-page guess. Empty when
// the name is not UTF-8 (Win32).
std::wstring PrinterDeviceFromUtf8(const std::string& utf8Name);
// Deletes a device context; CUPS also cancels a document left open there
// (one round trip).
void DeletePrinterDc(PrintHandle dc);

// GlobalLock of the dialog's settings handle: the DEVMODEW, or null.
PrintHandle LockPrintSettings(PrintHandle devMode);
void UnlockPrintSettings(PrintHandle devMode);
// Writes the page fields into a locked DEVMODEW; leaves every other field.
void StorePageSettings(PrintHandle lockedSettings, const PageSettings& page);
// Sets dmCopies (and DM_COPIES) in a locked DEVMODEW.
void StorePrintCopies(PrintHandle lockedSettings, short copies);
// ResetDCW with the locked settings; its result is not reported.
void ApplyPrintSettings(PrintHandle dc, PrintHandle lockedSettings);

// Reads a stored image file whole (at most 256 MiB) into *bytes, so that
// the job judges its header before any decoder sees it. False, with *bytes
// empty, when it is missing, not a regular file, too large or unreadable.
// Blocks for the read.
bool ReadLabelImageFile(const std::wstring& path, std::string* bytes);
// Decodes an image held in memory (BMP, GIF, JPEG, PNG, TIFF), its format
// known from its content; null when nothing could be decoded, else its size
// in pixels. Nothing touches the file system, so concurrent jobs each print
// their own. Blocks for the decoding.
// An image refused for its size before any pixel is decoded gives null with
// the size it announced in *width and *height; other failures leave them.
PrintHandle LoadLabelImageFromMemory(const std::string& bytes, int* width, int* height);
void ReleaseLabelImage(PrintHandle image);
// The memory a decoded image takes from its decoding to the end of its page,
// per pixel: the decoder's pixels, the flattened copy and what the page or
// the spooler keeps of it, as measured for this backend. Does not block.
unsigned DecodedBytesPerPixel();
// The copies of the image's bytes the decoder keeps while it decodes them,
// beyond the caller's own, as measured for this backend. Does not block.
unsigned DecoderCopiesOfBytes();

// StartDocW with the document name, no output file and no data type: the
// job id (> 0), or <= 0 with GetLastError in *lastError (CUPS: -1 with the
// IPP status of Create-Job, one round trip).
int StartPrintDocument(PrintHandle dc, const std::wstring& documentName,
                       unsigned long* lastError);
// StartPage: negative on failure.
int StartPrintPage(PrintHandle dc);
// Draws the whole image into the rectangle, transparent parts onto white,
// pixel for pixel when the rectangle has the image's size. False when
// nothing was drawn.
bool DrawLabelImage(PrintHandle dc, PrintHandle image, int left, int top, int right,
                    int bottom);
// EndPage and EndDoc: > 0 when the page, or the document, reached the
// spooler; <= 0 when it did not. CUPS sends the page at EndDoc (one round
// trip with the document).
int EndPrintPage(PrintHandle dc);
int EndPrintDocument(PrintHandle dc);
// AbortDoc: the open document is dropped (CUPS: its job cancelled, one
// round trip).
void AbortPrintDocument(PrintHandle dc);
