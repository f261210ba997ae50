// Platform seam for the print job: the common print dialog, printer device
// contexts, the settings record, the document and page calls and the label
// image. Backends: printing_win.cpp (GDI, comdlg32, GDI+) and
// printing_fake.cpp (in memory, for tests). The job's decisions live in
// print_job.cpp; these functions only translate.
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
bool RunPrintDialog(bool silentDefault, PrintDialogHandles* handles);
// Deletes the dialog's device context and frees both memory handles.
void FreePrintDialog(const PrintDialogHandles& handles);

// CreateDCW(null, device, null, null). Null on failure, with GetLastError
// in *lastError.
PrintHandle CreatePrinterDc(const std::wstring& device, unsigned long* lastError);
// Whether CreatePrinterDc's error code says no queue has that name.
bool IsUnknownPrinterError(unsigned long lastError);
// The device name of a queue named in UTF-8 (as the spooler lists it to
// pages); the spooler's own name text, never a code-page guess.
std::wstring PrinterDeviceFromUtf8(const std::string& utf8Name);
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

// Loads an image file, its format known from its content, not its name.
// Null when nothing could be loaded; else its size in pixels.
PrintHandle LoadLabelImage(const std::wstring& path, int* width, int* height);
// As LoadLabelImage, from bytes held in memory (BMP, GIF, JPEG, PNG, TIFF);
// nothing touches the file system, so concurrent jobs each print their own.
// An image refused for its size before any pixel is decoded gives null with
// the size it announced in *width and *height; other failures leave them.
PrintHandle LoadLabelImageFromMemory(const std::string& bytes, int* width, int* height);
void ReleaseLabelImage(PrintHandle image);

// StartDocW with the document name, no output file and no data type: the
// job id (> 0), or <= 0 with GetLastError in *lastError.
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
// spooler; <= 0 when it did not.
int EndPrintPage(PrintHandle dc);
int EndPrintDocument(PrintHandle dc);
void AbortPrintDocument(PrintHandle dc);
