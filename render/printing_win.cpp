// Win32 backend of the printing seam: comdlg32's PrintDlgW, GDI's device
// context and document calls, and GDI+ for loading the label image.
#include "render/printing.h"

#include <windows.h>
#include <commdlg.h>
#include <gdiplus.h>
#include <shlwapi.h>

#include <mutex>

#include "base/wide_text_win.h"
#include "render/label_size.h"

namespace {

// GDI+ is started once and left running for the life of the process: the
// print job may run on any of the server's worker threads.
bool StartGdiPlus() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  });
  return started;
}

}  // namespace

bool RunPrintDialog(bool silentDefault, PrintDialogHandles* handles) {
  PRINTDLGW printInfo;
  ZeroMemory(&printInfo, sizeof(printInfo));
  printInfo.lStructSize = sizeof(printInfo);
  printInfo.Flags = silentDefault ? (PD_RETURNDEFAULT | PD_RETURNDC) : 0;
  BOOL chosen = PrintDlgW(&printInfo);
  handles->devMode = printInfo.hDevMode;
  handles->devNames = printInfo.hDevNames;
  handles->dc = printInfo.hDC;
  return chosen != FALSE;
}

void FreePrintDialog(const PrintDialogHandles& handles) {
  if (handles.dc) DeleteDC(static_cast<HDC>(handles.dc));
  if (handles.devMode) GlobalFree(static_cast<HGLOBAL>(handles.devMode));
  if (handles.devNames) GlobalFree(static_cast<HGLOBAL>(handles.devNames));
}

PrintHandle CreatePrinterDc(const std::wstring& device, const PrintDialogHandles&,
                            unsigned long* lastError) {
  HDC dc = CreateDCW(nullptr, device.c_str(), nullptr, nullptr);
  if (!dc) *lastError = GetLastError();
  return dc;
}

bool IsUnknownPrinterError(unsigned long lastError) {
  return lastError == ERROR_INVALID_PRINTER_NAME;
}

std::wstring PrinterDeviceFromUtf8(const std::string& utf8Name) {
  return WideText(utf8Name, CP_UTF8, MB_ERR_INVALID_CHARS);
}

void DeletePrinterDc(PrintHandle dc) {
  if (dc) DeleteDC(static_cast<HDC>(dc));
}

PrintHandle LockPrintSettings(PrintHandle devMode) {
  if (!devMode) return nullptr;
  return GlobalLock(static_cast<HGLOBAL>(devMode));
}

void UnlockPrintSettings(PrintHandle devMode) {
  if (devMode) GlobalUnlock(static_cast<HGLOBAL>(devMode));
}

void StorePageSettings(PrintHandle lockedSettings, const PageSettings& page) {
  DEVMODEW* devMode = static_cast<DEVMODEW*>(lockedSettings);
  devMode->dmFields |= page.addFields;
  devMode->dmOrientation = page.orientation;
  devMode->dmPaperSize = page.paperSize;
  devMode->dmPaperLength = page.paperLength;
  devMode->dmPaperWidth = page.paperWidth;
}

void StorePrintCopies(PrintHandle lockedSettings, short copies) {
  DEVMODEW* devMode = static_cast<DEVMODEW*>(lockedSettings);
  devMode->dmFields |= DM_COPIES;
  devMode->dmCopies = copies;
}

void ApplyPrintSettings(PrintHandle dc, PrintHandle lockedSettings) {
  ResetDCW(static_cast<HDC>(dc), static_cast<DEVMODEW*>(lockedSettings));
}

// The image is flattened onto white as it is loaded: printer drivers without
// AlphaBlend support print a blank page, and GDI+ drawing prints transparent
// parts black. The bitmap that remains is copied as it stands.
// GDI+ reads the header first and decodes the pixels only when asked, so a
// small file announcing a huge image is refused before it can take gigabytes.
PrintHandle LoadLabelImageFromMemory(const std::string& bytes, int* width, int* height) {
  if (bytes.empty() || bytes.size() > 0x7fffffff || !StartGdiPlus()) return nullptr;
  IStream* stream = SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                                      static_cast<UINT>(bytes.size()));
  if (!stream) return nullptr;
  Gdiplus::Bitmap* bitmap = Gdiplus::Bitmap::FromStream(stream, FALSE);
  HBITMAP flattened = nullptr;
  if (bitmap && bitmap->GetLastStatus() == Gdiplus::Ok) {
    UINT w = bitmap->GetWidth();
    UINT h = bitmap->GetHeight();
    if (w == 0 || h == 0 || JudgeLabelSize(w, h) == kLabelTooLargeToDecode) {
      *width = static_cast<int>(w > 0x7fffffff ? 0x7fffffff : w);
      *height = static_cast<int>(h > 0x7fffffff ? 0x7fffffff : h);
    } else if (bitmap->GetHBITMAP(Gdiplus::Color(255, 255, 255, 255), &flattened) == Gdiplus::Ok) {
      *width = static_cast<int>(w);
      *height = static_cast<int>(h);
    } else {
      flattened = nullptr;
    }
  }
  delete bitmap;
  stream->Release();
  return flattened;
}

// Read whole, so the bytes the job checks and judges are the bytes decoded.
bool ReadLabelImageFile(const std::wstring& path, std::string* content) {
  constexpr LONGLONG kLargestImageFile = 256 << 20;
  content->clear();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  std::string bytes;
  bool read = GetFileSizeEx(file, &size) && size.QuadPart <= kLargestImageFile;
  if (read) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    read = bytes.empty() ||
           (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) &&
            got == bytes.size());
  }
  CloseHandle(file);
  if (!read) return false;
  content->swap(bytes);
  return true;
}

// GDI+'s decoded bitmap (4 bytes), the flattened HBITMAP (4), and what the
// printer driver copies of it for the page: 10 bytes a pixel under Wine's
// PostScript driver for a 3000 x 3000 label; the rest is room for drivers
// that keep more.
unsigned DecodedBytesPerPixel() { return 16; }

// SHCreateMemStream copies the bytes; GDI+ (Wine's at least) then reads
// each chunk it does not know whole while it lists the image's properties.
// A 64 MiB label took three times its size.
unsigned DecoderCopiesOfBytes() { return 2; }

void ReleaseLabelImage(PrintHandle image) {
  if (image) DeleteObject(static_cast<HBITMAP>(image));
}

int StartPrintDocument(PrintHandle dc, const std::wstring& documentName,
                       unsigned long* lastError) {
  DOCINFOW docInfo;
  ZeroMemory(&docInfo, sizeof(docInfo));
  docInfo.cbSize = sizeof(docInfo);
  docInfo.lpszDocName = documentName.c_str();
  int jobId = StartDocW(static_cast<HDC>(dc), &docInfo);
  if (jobId <= 0) *lastError = GetLastError();
  return jobId;
}

int StartPrintPage(PrintHandle dc) { return StartPage(static_cast<HDC>(dc)); }

bool DrawLabelImage(PrintHandle dc, PrintHandle image, int left, int top, int right,
                    int bottom) {
  HDC printerDc = static_cast<HDC>(dc);
  HBITMAP bitmap = static_cast<HBITMAP>(image);
  BITMAP info;
  if (!GetObjectW(bitmap, sizeof(info), &info)) return false;
  HDC source = CreateCompatibleDC(printerDc);
  if (!source) return false;
  HGDIOBJ previous = SelectObject(source, bitmap);
  BOOL drawn = StretchBlt(printerDc, left, top, right - left, bottom - top, source, 0, 0,
                          info.bmWidth, info.bmHeight, SRCCOPY);
  SelectObject(source, previous);
  DeleteDC(source);
  return drawn != FALSE;
}

int EndPrintPage(PrintHandle dc) { return EndPage(static_cast<HDC>(dc)); }

int EndPrintDocument(PrintHandle dc) { return EndDoc(static_cast<HDC>(dc)); }

void AbortPrintDocument(PrintHandle dc) { AbortDoc(static_cast<HDC>(dc)); }
