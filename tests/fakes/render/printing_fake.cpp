// In-memory backend of the printing seam: handles are numbered tokens, the
// settings record is a plain struct, and every call is logged for tests.
#include "render/printing.h"
#include "tests/fakes/render/printing_fake.h"

#include <chrono>
#include <cstdint>
#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "base/win_error.h"
#include "tests/fakes/common/temp_file_fake.h"

namespace {

struct FakeImage {
  std::string bytes;
  int width;
  int height;
};

std::mutex fakeMutex;
FakePrintingFaults faults;

std::vector<std::string> calls;
std::set<uintptr_t> liveHandles;
uintptr_t nextHandle = 0x1000;
std::map<uintptr_t, FakeDevMode> devModes;
std::map<uintptr_t, FakeImage> images;
int lockCount = 0;
FakeDevMode storedSettings{};
std::vector<std::string> drawnImages;

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

PrintHandle NewHandle() {
  uintptr_t handle = nextHandle;
  nextHandle += 0x10;
  liveHandles.insert(handle);
  return reinterpret_cast<PrintHandle>(handle);
}

void FreeHandle(PrintHandle handle) {
  if (handle) liveHandles.erase(reinterpret_cast<uintptr_t>(handle));
}

uint32_t BigEndian32(const std::string& bytes, size_t at) {
  return (uint32_t{static_cast<unsigned char>(bytes[at])} << 24) |
         (uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 16) |
         (uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 8) |
         uint32_t{static_cast<unsigned char>(bytes[at + 3])};
}

bool PngSize(const std::string& bytes, int* width, int* height) {
  static const char kSignature[] = "\x89PNG\r\n\x1a\n";
  if (bytes.size() < 24 || bytes.compare(0, 8, kSignature, 8) != 0 ||
      bytes.compare(12, 4, "IHDR") != 0) {
    return false;
  }
  uint32_t w = BigEndian32(bytes, 16);
  uint32_t h = BigEndian32(bytes, 20);
  if (w == 0 || h == 0 || w > 0x7fffffff || h > 0x7fffffff) return false;
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}

}  // namespace

bool RunPrintDialog(bool silentDefault, PrintDialogHandles* handles) {
  int delay;
  {
    std::lock_guard<std::mutex> lock(fakeMutex);
    delay = faults.dialogDelayMs;
  }
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back(silentDefault ? "PrintDlg default" : "PrintDlg dialog");
  *handles = PrintDialogHandles{};
  if (silentDefault ? faults.noDefaultPrinter : faults.dialogCancelled) return false;
  handles->devMode = NewHandle();
  devModes[reinterpret_cast<uintptr_t>(handles->devMode)] = FakeDevMode{faults.initialFields, 1, 1, 0, 0, 1};
  handles->devNames = NewHandle();
  if (silentDefault) handles->dc = NewHandle();
  return true;
}

void FreePrintDialog(const PrintDialogHandles& handles) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  if (handles.devMode) devModes.erase(reinterpret_cast<uintptr_t>(handles.devMode));
  FreeHandle(handles.devMode);
  FreeHandle(handles.devNames);
  FreeHandle(handles.dc);
}

PrintHandle CreatePrinterDc(const std::wstring& device, const PrintDialogHandles&,
                            unsigned long* lastError) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("CreateDC " + Narrow(device));
  if (faults.createDcError != 0) {
    *lastError = faults.createDcError;
    return nullptr;
  }
  const std::vector<std::wstring>& unknown = faults.unknownPrinters;
  if (std::find(unknown.begin(), unknown.end(), device) != unknown.end()) {
    *lastError = kErrorInvalidPrinterName;
    return nullptr;
  }
  return NewHandle();
}

bool IsUnknownPrinterError(unsigned long lastError) { return lastError == kErrorInvalidPrinterName; }

std::wstring PrinterDeviceFromUtf8(const std::string& utf8Name) {
  // The tests name queues in ASCII; anything else shows as '?' in the log.
  std::wstring device;
  for (unsigned char c : utf8Name) device += c < 0x80 ? static_cast<wchar_t>(c) : L'?';
  return device;
}

void DeletePrinterDc(PrintHandle dc) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("DeleteDC");
  FreeHandle(dc);
}

PrintHandle LockPrintSettings(PrintHandle devMode) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("Lock");
  auto found = devModes.find(reinterpret_cast<uintptr_t>(devMode));
  if (faults.lockFails || found == devModes.end()) return nullptr;
  ++lockCount;
  return &found->second;
}

void UnlockPrintSettings(PrintHandle devMode) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("Unlock");
  if (devModes.count(reinterpret_cast<uintptr_t>(devMode))) --lockCount;
}

void StorePageSettings(PrintHandle lockedSettings, const PageSettings& page) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  FakeDevMode* devMode = static_cast<FakeDevMode*>(lockedSettings);
  devMode->fields |= page.addFields;
  devMode->orientation = page.orientation;
  devMode->paperSize = page.paperSize;
  devMode->paperLength = page.paperLength;
  devMode->paperWidth = page.paperWidth;
  storedSettings = *devMode;
}

void StorePrintCopies(PrintHandle lockedSettings, short copies) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("Copies " + std::to_string(copies));
  FakeDevMode* devMode = static_cast<FakeDevMode*>(lockedSettings);
  devMode->fields |= 0x100;  // DM_COPIES
  devMode->copies = copies;
  storedSettings = *devMode;
}

void ApplyPrintSettings(PrintHandle, PrintHandle) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("ResetDC");
}

// Holds a PNG as an image handle; null for anything else. Called locked.
PrintHandle AdoptImage(const std::string& bytes, int* width, int* height) {
  FakeImage image{bytes, 0, 0};
  if (!PngSize(bytes, &image.width, &image.height)) return nullptr;
  PrintHandle handle = NewHandle();
  images[reinterpret_cast<uintptr_t>(handle)] = image;
  *width = image.width;
  *height = image.height;
  return handle;
}

bool ReadLabelImageFile(const std::wstring& path, std::string* content) {
  std::string bytes;
  bool exists = FakeFileContent(path, &bytes);
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("LoadImage " + Narrow(path));
  content->swap(bytes);
  if (!exists) content->clear();
  return exists;
}

PrintHandle LoadLabelImageFromMemory(const std::string& bytes, int* width, int* height) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("LoadImage memory " + std::to_string(bytes.size()));
  return AdoptImage(bytes, width, height);
}

unsigned DecodedBytesPerPixel() { return 16; }
unsigned DecoderCopiesOfBytes() { return 0; }

void ReleaseLabelImage(PrintHandle image) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  images.erase(reinterpret_cast<uintptr_t>(image));
  FreeHandle(image);
}

int StartPrintDocument(PrintHandle, const std::wstring& documentName, unsigned long* lastError) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("StartDoc " + Narrow(documentName));
  if (faults.startDocResult <= 0) *lastError = faults.startDocError;
  return faults.startDocResult;
}

int StartPrintPage(PrintHandle) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("StartPage");
  return faults.startPageResult;
}

bool DrawLabelImage(PrintHandle, PrintHandle image, int left, int top, int right, int bottom) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("Draw " + std::to_string(left) + "," + std::to_string(top) + "," +
                  std::to_string(right) + "," + std::to_string(bottom));
  auto found = images.find(reinterpret_cast<uintptr_t>(image));
  drawnImages.push_back(found == images.end() ? std::string() : found->second.bytes);
  return found != images.end() && !faults.drawFails;
}

int EndPrintPage(PrintHandle) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("EndPage");
  return faults.endPageResult;
}

int EndPrintDocument(PrintHandle) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("EndDoc");
  return faults.endDocResult;
}

void AbortPrintDocument(PrintHandle) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("AbortDoc");
}

void ResetFakePrinting() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  faults = FakePrintingFaults{};
  calls.clear();
  liveHandles.clear();
  devModes.clear();
  images.clear();
  lockCount = 0;
  storedSettings = FakeDevMode{};
  drawnImages.clear();
}

void SetFakePrintingFaults(const FakePrintingFaults& newFaults) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  faults = newFaults;
}

std::vector<std::string> FakePrintCalls() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  return calls;
}

int FakeLiveHandles() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  return static_cast<int>(liveHandles.size());
}

int FakeLockCount() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  return lockCount;
}

FakeDevMode FakeStoredSettings() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  return storedSettings;
}

std::vector<std::string> FakeDrawnImages() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  return drawnImages;
}
