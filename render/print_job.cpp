// The print job's step ladder and its messages. Chinese messages are held as
// code page 936 (GBK) bytes, as the rest of printgate's output.
#include "render/print_job.h"

#include <algorithm>
#include <atomic>
#include <functional>

#include "common/diag.h"
#include "common/temp_image_path.h"
#include "common/wide_bytes.h"
#include "render/image_whole.h"
#include "render/printing.h"

namespace {

constexpr char kDefaultPrinter[] = "VELQ";
constexpr wchar_t kDocumentName[] = L"velq label";

constexpr unsigned long kDmOrientation = 0x1;
constexpr unsigned long kDmPaperSize = 0x2;
constexpr unsigned long kDmPaperLength = 0x4;
constexpr unsigned long kDmPaperWidth = 0x8;
constexpr short kLandscape = 2;
constexpr short kCustomPaper = 0;

// "没有选择打印机。\n"
constexpr char kNoPrinterChosen[] = "\xc3\xbb\xd3\xd0\xd1\xa1\xd4\xf1\xb4\xf2\xd3\xa1\xbb\xfa\xa1\xa3\n";
constexpr char kNoPrinterDc[] = "Could not create printer DC: ";
// "获取打印机设置时发生了错误."
constexpr char kSettingsLocked[] =
    "\xbb\xf1\xc8\xa1\xb4\xf2\xd3\xa1\xbb\xfa\xc9\xe8\xd6\xc3\xca\xb1\xb7\xa2\xc9\xfa\xc1\xcb"
    "\xb4\xed\xce\xf3.";
// "StartDoc 错误，错误代码："
constexpr char kStartDocFailed[] = "StartDoc \xb4\xed\xce\xf3\xa3\xac\xb4\xed\xce\xf3\xb4\xfa\xc2\xeb\xa3\xba";
// "作业编号："
constexpr char kJobNumber[] = "\xd7\xf7\xd2\xb5\xb1\xe0\xba\xc5\xa3\xba";
// "StartPage 错误\n"
constexpr char kStartPageFailed[] = "StartPage \xb4\xed\xce\xf3\n";
// "1--位图大小：%d x %d\n"
constexpr char kBitmapSize[] = "1--\xce\xbb\xcd\xbc\xb4\xf3\xd0\xa1\xa3\xba%d x %d\n";
// "打印顺利完成了. o(∩_∩)o \n"
constexpr char kPrintDone[] =
    "\xb4\xf2\xd3\xa1\xcb\xb3\xc0\xfb\xcd\xea\xb3\xc9\xc1\xcb. o(\xa1\xc9_\xa1\xc9)o \n";
constexpr char kNoImage[] = "No label image could be loaded from tempVQ.JPG; nothing printed.";
constexpr char kNoImageInRequest[] = "No label image could be decoded from the request; nothing printed.";
constexpr char kPaperTooLarge[] =
    "Label image %d x %d is too large for the paper size fields; nothing printed.\n";
constexpr char kImageTooLarge[] =
    "Label image %d x %d is larger than printgate decodes; nothing printed.\n";
constexpr char kImageOverBudget[] =
    "Label image %d x %d needs more memory than printgate's budget; nothing printed.\n";
constexpr char kMemoryBusy[] =
    "No room in printgate's memory budget for the label image in time; nothing printed.";
constexpr char kPrintFailed[] = "Printing failed: the document or its page did not start.\n";

// Everything the job obtained, released in one place on every way out.
struct JobResources {
  PrintDialogHandles dialog{};
  PrintHandle dc = nullptr;
  PrintHandle settings = nullptr;
  PrintHandle image = nullptr;
};

std::atomic<JobWatch> gJobWatch{nullptr};

void TellWatch(JobMoment moment, const std::string& printer, int jobId) {
  JobWatch watch = gJobWatch.load();
  if (watch != nullptr && jobId > 0) watch(moment, printer, jobId);
}

void ReleaseJob(JobResources& job) {
  if (job.image) ReleaseLabelImage(job.image);
  if (job.settings) UnlockPrintSettings(job.dialog.devMode);
  if (job.dc) DeletePrinterDc(job.dc);
  FreePrintDialog(job.dialog);
  job = JobResources{};
}

}  // namespace

PrintHandle DecodeLabelBytes(const std::string& bytes, int* width, int* height,
                             LabelSizeVerdict* refusal) {
  if (refusal) *refusal = kLabelSizeFits;
  // A header cut or broken is no image to any decoder; some take its
  // numbers at their word first (gdk-pixbuf allocates a BMP header of the
  // size it claims, gigabytes for a few bytes).
  if (ImageHeaderDamaged(bytes)) return nullptr;
  // A sound header's sizes are refused on their word, before a decoder
  // would take memory for them (the check above holds no pixels): every
  // size it announces (a GIF's frames past its screen, a TIFF's later
  // directories), then the image's own against the paper.
  long long announcedWidth = 0;
  long long announcedHeight = 0;
  ImageExtent extent;
  // Bytes of no size a header announces reach no decoder: none would find
  // an image in them that the job prints (GDI+ reads icons and metafiles,
  // which the job refuses), and their size could not be judged.
  if (!AnnouncedImageExtent(bytes, &extent) || !AnnouncedImageSize(bytes, &announcedWidth, &announcedHeight)) {
    return nullptr;
  }
  {
    bool decodable = JudgeLabelExtent(extent.width, extent.height, extent.pixels) == kLabelSizeFits;
    if (!decodable) {
      announcedWidth = extent.width;
      announcedHeight = extent.height;
    }
    if (!decodable || JudgeLabelSize(announcedWidth, announcedHeight) != kLabelSizeFits) {
      *width = static_cast<int>(announcedWidth > 0x7fffffff ? 0x7fffffff : announcedWidth);
      *height = static_cast<int>(announcedHeight > 0x7fffffff ? 0x7fffffff : announcedHeight);
      // Refused for decoding also where the sides alone would pass (a GIF
      // of many frames).
      if (refusal) *refusal = decodable ? JudgeLabelSize(*width, *height) : kLabelTooLargeToDecode;
      return nullptr;
    }
  }
  // The decoder's pixels and the page are claimed before they are taken,
  // and before the whole check: inflating a bomb's stream costs the time
  // its decoding would, and a storm of them checked at once (thirty
  // threads inflating under Wine) held every other request up for a
  // second. The claim lets them through one room's worth at a time.
  HoldResult hold = HoldForLabel(bytes);
  if (hold != kHeld) {
    *width = static_cast<int>(announcedWidth);
    *height = static_cast<int>(announcedHeight);
    if (refusal) *refusal = hold == kBudgetBusy ? kLabelMemoryBusy : kLabelOverMemoryBudget;
    return nullptr;
  }
  // The job prints only whole images (KeepWholeImage): one the check
  // refuses is never worth its decoding, which for a damaged bomb is all
  // the memory its header claims.
  std::string fault;
  if (CheckImageWhole(bytes, &fault) != kImageWhole) return nullptr;
  const char* end = ImageEndToAdd(bytes);
  if (*end == '\0') return LoadLabelImageFromMemory(bytes, width, height);
  return LoadLabelImageFromMemory(bytes + end, width, height);
}

uint64_t LabelMemoryCost(const std::string& bytes) {
  ImageExtent extent;
  if (!AnnouncedImageExtent(bytes, &extent)) return bytes.size();
  // Past any limit already (a header may claim 2^62 pixels): no wrap.
  uint64_t pixels = std::min<uint64_t>(static_cast<uint64_t>(extent.pixels), 1ull << 40);
  return (2 + DecoderCopiesOfBytes()) * static_cast<uint64_t>(bytes.size()) + pixels * DecodedBytesPerPixel();
}

HoldResult HoldForLabel(const std::string& bytes) { return HoldAtLeast(LabelMemoryCost(bytes)); }

bool KeepWholeImage(PrintHandle* image, const std::string& bytes, PrintReport* report) {
  std::string fault;
  ImageWholeness whole = CheckImageWhole(bytes, &fault);
  if (whole == kImageWhole) return *image != nullptr;
  // What the decoder refused by itself keeps its own answer, unless the
  // damage lies past a sound header: then it is a damaged image all the
  // same, whichever decoder noticed.
  if (*image == nullptr && whole != kImageDamaged) return false;
  if (*image) ReleaseLabelImage(*image);
  *image = nullptr;
  report->damaged = whole == kImageDamaged || whole == kImageHeaderDamaged;
  report->imageFault = fault;
  return false;
}

std::wstring WidenPrinterName(const std::string& printName) { return WidenBytes(printName); }

namespace {

// Loads the label image: null when none could be had. On a refusal for its
// size, width and height may hold the size the image announced.
// A loader that reads a file hands its bytes back in *fileBytes.
// *refusal: the verdict on a size refused before decoding.
typedef std::function<PrintHandle(int* width, int* height, std::string* fileBytes,
                                  LabelSizeVerdict* refusal)>
    ImageLoader;

// Records the first step that failed: it decides the outcome.
void Failed(PrintReport* report, PrintStep step) {
  if (report->step == kPrintStepDone) report->step = step;
}

// The default printer's settings are the starting point; only a machine
// without one asks the user. Then the device context on the named queue and
// the locked settings. False, with the job released, when a step failed.
bool OpenPrinter(const std::wstring& device, JobResources& job, PrintReport* report) {
  if (!RunPrintDialog(true, &job.dialog)) {
    FreePrintDialog(job.dialog);
    job.dialog = PrintDialogHandles{};
    if (!RunPrintDialog(false, &job.dialog)) {
      DiagText(kNoPrinterChosen);
      ReleaseJob(job);
      Failed(report, kPrintStepNoSettings);
      return false;
    }
  }
  unsigned long lastError = 0;
  job.dc = CreatePrinterDc(device, job.dialog, &lastError);
  if (!job.dc) {
    DiagLine(kNoPrinterDc + std::to_string(lastError));
    ReleaseJob(job);
    Failed(report, kPrintStepPrinterNotOpened);
    report->lastError = lastError;
    report->unknownPrinter = IsUnknownPrinterError(lastError);
    return false;
  }
  job.settings = LockPrintSettings(job.dialog.devMode);
  if (!job.settings) {
    DiagLine(kSettingsLocked);
    ReleaseJob(job);
    Failed(report, kPrintStepSettingsLocked);
    return false;
  }
  return true;
}

// Loads the image and sizes its paper. False, with the job released, when
// there is nothing to print or the paper would not fit its fields.
bool LoadPageImage(const ImageLoader& loadImage, const std::string* imageBytes,
                   const char* noImageMessage, JobResources& job, PrintReport* report,
                   LabelPaper* paper) {
  int width = 0;
  int height = 0;
  std::string fileBytes;
  LabelSizeVerdict refusal = kLabelSizeFits;
  job.image = loadImage(&width, &height, &fileBytes, &refusal);
  *paper = LabelPaperSize(width, height);
  if (refusal == kLabelMemoryBusy) {
    DiagLine(kMemoryBusy);
    ReleaseJob(job);
    Failed(report, kPrintStepBusy);
    return false;
  }
  LabelSizeVerdict size = refusal != kLabelSizeFits ? refusal : JudgeLabelSize(width, height);
  bool tooLarge = size != kLabelSizeFits;
  // A decoder hands out what it got of a cut image, so it is given only
  // bytes the check found whole (DecodeLabelBytes): an image it gave is not
  // checked again, which would cost what its decoding did. Posted bytes the
  // job refused are checked to tell a damaged image from bytes of no image.
  // (An image refused for its size is refused for that first.)
  if (!tooLarge && !job.image && imageBytes && !KeepWholeImage(&job.image, *imageBytes, report)) {
    width = 0;
    height = 0;
  }
  std::string().swap(fileBytes);
  report->width = width;
  report->height = height;
  // Without an image the page would be zero-sized and blank: don't waste a
  // label on it.
  bool noImage = job.image ? (width <= 0 || height <= 0)
                           : !(tooLarge && width > 0 && height > 0);
  if (noImage) {
    DiagLine(noImageMessage);
    ReleaseJob(job);
    Failed(report, kPrintStepNoImage);
    return false;
  }
  if (tooLarge) {
    if (size == kLabelPaperTooLarge) {
      DiagPrintf(kPaperTooLarge, width, height);
      Failed(report, kPrintStepPaperTooLarge);
    } else if (size == kLabelOverMemoryBudget) {
      DiagPrintf(kImageOverBudget, width, height);
      Failed(report, kPrintStepOverBudget);
    } else {
      DiagPrintf(kImageTooLarge, width, height);
      Failed(report, kPrintStepImageTooLarge);
    }
    ReleaseJob(job);
    return false;
  }
  return true;
}

void ApplyPage(JobResources& job, const LabelPaper& paper, int copies) {
  PageSettings page;
  page.addFields = kDmOrientation | kDmPaperSize | kDmPaperLength | kDmPaperWidth;
  page.orientation = kLandscape;
  page.paperSize = kCustomPaper;
  page.paperLength = static_cast<short>(paper.length);
  page.paperWidth = static_cast<short>(paper.width);
  StorePageSettings(job.settings, page);
  if (copies > 0) StorePrintCopies(job.settings, static_cast<short>(copies));
  DiagPrintf("%d  %d", page.paperLength, page.paperWidth);
  ApplyPrintSettings(job.dc, job.settings);
  UnlockPrintSettings(job.dialog.devMode);
  job.settings = nullptr;
}

// The document and its page. One that fails to start does not stop the
// ladder (its page calls are still made), as it always has been.
void PrintPage(JobResources& job, const std::string& printer, PrintReport* report) {
  unsigned long lastError = 0;
  int jobId = StartPrintDocument(job.dc, kDocumentName, &lastError);
  report->jobId = jobId;
  bool started = jobId > 0;
  // At once, before the document is sent: a spooler that drops a job at
  // its end must be told to keep it now.
  if (started) TellWatch(kJobStarted, printer, jobId);
  if (!started) {
    DiagLine(kStartDocFailed + std::to_string(lastError) + " | work id:" +
             std::to_string(jobId));
    Failed(report, kPrintStepStartDoc);
    report->lastError = lastError;
  }
  DiagLine(kJobNumber + std::to_string(jobId));

  if (StartPrintPage(job.dc) < 0) {
    DiagText(kStartPageFailed);
    AbortPrintDocument(job.dc);
    started = false;
    Failed(report, kPrintStepStartPage);
  }

  if (!DrawLabelImage(job.dc, job.image, 0, 0, report->width, report->height)) {
    Failed(report, kPrintStepDraw);
  }
  DiagPrintf(kBitmapSize, report->width, report->height);

  if (EndPrintPage(job.dc) <= 0) Failed(report, kPrintStepEndPage);
  if (EndPrintDocument(job.dc) <= 0) Failed(report, kPrintStepEndDoc);
  if (jobId > 0) TellWatch(started && report->step == kPrintStepDone ? kJobHandedOver : kJobDropped, printer, jobId);
  // A document or page that never started printed nothing: say so rather
  // than report success.
  DiagText(started ? kPrintDone : kPrintFailed);
}

// The step ladder every job takes. imageBytes: the bytes a loader from
// memory decodes (null: the file's, which the loader hands back).
PrintReport RunLabelJob(const std::wstring& device, const std::string& printer, const ImageLoader& loadImage,
                        const std::string* imageBytes, const char* noImageMessage, int copies) {
  JobResources job;
  PrintReport report;
  LabelPaper paper{0, 0};
  if (!OpenPrinter(device, job, &report)) return report;
  if (!LoadPageImage(loadImage, imageBytes, noImageMessage, job, &report, &paper)) {
    return report;
  }
  ApplyPage(job, paper, copies);
  PrintPage(job, printer, &report);
  ReleaseJob(job);
  return report;
}

}  // namespace

std::string DefaultPrinterName() { return kDefaultPrinter; }

void SetJobWatch(JobWatch watch) { gJobWatch.store(watch); }

int PrintLabelImage(std::string printName) {
  PrintStoredLabel(printName);
  return 0;
}

PrintReport PrintStoredLabel(std::string printName) {
  if (printName.empty()) printName = kDefaultPrinter;
  return RunLabelJob(
      WidenPrinterName(printName), printName,
      [](int* width, int* height, std::string* bytes, LabelSizeVerdict* refusal) -> PrintHandle {
        std::wstring jpgFilePath;
        bool folderFound = false;
        if (!FindTempImagePath(&jpgFilePath, &folderFound)) return nullptr;
        // Read first and judged as posted bytes are: no decoder sees a
        // header the job would refuse.
        if (!ReadLabelImageFile(jpgFilePath, bytes)) return nullptr;
        return DecodeLabelBytes(*bytes, width, height, refusal);
      },
      nullptr, kNoImage, 0);
}

PrintReport PrintLabelBytes(const std::string& utf8Name, const std::string& imageBytes,
                            int copies) {
  std::string name = utf8Name.empty() ? std::string(kDefaultPrinter) : utf8Name;
  return RunLabelJob(
      PrinterDeviceFromUtf8(name), name,
      [&imageBytes](int* width, int* height, std::string*, LabelSizeVerdict* refusal) {
        return DecodeLabelBytes(imageBytes, width, height, refusal);
      },
      &imageBytes, kNoImageInRequest, copies);
}
