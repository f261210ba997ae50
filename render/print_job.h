// The print job: puts the stored label image on one landscape page of a
// custom paper sized from the image, on the named printer queue.
#pragma once
#include <string>

#include "common/memory_budget.h"
#include "render/label_size.h"
#include "render/printing.h"

// Prints the temporary image file on printName (empty: "VELQ"). Reports its
// progress and failures as diagnostic lines only; always returns 0.
int PrintLabelImage(std::string printName);

// The steps of the job that can fail, in the job's order.
enum PrintStep {
  kPrintStepDone,             // printed: the document reached the spooler
  kPrintStepNoSettings,       // no default printer, and none chosen
  kPrintStepPrinterNotOpened, // the queue could not be opened
  kPrintStepSettingsLocked,   // the settings record could not be locked
  kPrintStepNoImage,          // no image could be decoded
  kPrintStepPaperTooLarge,    // the paper would not fit the paper fields
  kPrintStepImageTooLarge,    // the image is larger than any decoder is given
  kPrintStepOverBudget,       // decoding and printing it needs more than the memory budget
  kPrintStepBusy,             // the memory budget had no room for it in time
  kPrintStepStartDoc,
  kPrintStepStartPage,
  kPrintStepDraw,
  kPrintStepEndPage,
  kPrintStepEndDoc,
};

// What one job did: the first step that failed (the job carries on past
// some failures, as it always has, but the first one decides the outcome).
struct PrintReport {
  PrintStep step = kPrintStepDone;
  unsigned long lastError = 0;  // the system's code, where the step gives one
  bool unknownPrinter = false;  // the queue could not be opened: no such name
  int jobId = 0;                // StartDoc's result
  int width = 0;                // the image in pixels, once known
  int height = 0;
  bool damaged = false;         // kPrintStepNoImage: the bytes hold a cut or
                                // corrupted image, not an unknown format
  std::string imageFault;       // what was wrong with the image, when known
};

// The decoder's image of bytes held in memory, given the end a decoder
// needs (ImageEndToAdd); LoadLabelImageFromMemory's results. Bytes the
// completeness check does not find whole (CheckImageWhole) are not offered
// to the decoder at all: null. Nor are
// bytes whose sound header announces a size JudgeLabelSize or
// JudgeLabelExtent refuses: null, with that size in *width and *height and
// the verdict in *refusal (when given; kLabelSizeFits otherwise).
PrintHandle DecodeLabelBytes(const std::string& bytes, int* width, int* height,
                             LabelSizeVerdict* refusal = nullptr);

// What decoding and printing an image of these bytes holds of the memory
// budget: the bytes twice (a decoder may be given them with an end added)
// and as often again as the backend's decoder copies them
// (DecoderCopiesOfBytes), and its pixels at the backend's cost
// (DecodedBytesPerPixel), from every
// size its header announces. Bytes of no known size cost only their bytes:
// no decoder is given them.
uint64_t LabelMemoryCost(const std::string& bytes);
// Claims that cost for this request (common/memory_budget.h), waiting for
// room as a claim does.
HoldResult HoldForLabel(const std::string& bytes);

// The job's rule for a decoded image: it prints only when its bytes hold
// the whole image (CheckImageWhole). Otherwise releases *image, sets it to
// null and says in *report why; true when the image may be printed. With
// *image null (the decoder refused the bytes) it only tells whether the
// bytes are damaged.
bool KeepWholeImage(PrintHandle* image, const std::string& bytes, PrintReport* report);

// The same job as PrintLabelImage, messages included, for an image held in
// memory on a queue named in UTF-8 (empty: "VELQ"). copies 0 keeps the
// default printer's count. Nothing is read from or written to a file.
PrintReport PrintLabelBytes(const std::string& utf8Name, const std::string& imageBytes,
                            int copies);

// The moments of a job the watcher of labels hears about: StartDoc gave
// its id, the spooler took the whole document, or a started document did
// not reach it. printer is the queue's name as the job was asked for
// (UTF-8 on the v2 route).
enum JobMoment { kJobStarted, kJobHandedOver, kJobDropped };
typedef void (*JobWatch)(JobMoment moment, const std::string& printer, int jobId);
// Who hears of every job from now on (null: nobody, the default). Called
// on the printing thread, between the job's own steps.
void SetJobWatch(JobWatch watch);
// PrintLabelImage's job with what it did, for the legacy route's answer.
PrintReport PrintStoredLabel(std::string printName);

// The queue a job without a printer name prints on.
std::string DefaultPrinterName();

// The printer name as the spooler gets it: each byte to the character of
// the same code, no code-page conversion.
std::wstring WidenPrinterName(const std::string& printName);
