// The "/vqapi/v2/" routes: the printer listing with each queue's state, and
// printing from the request's own bytes with an answer that says what
// happened. Nothing here touches the temporary image file of the legacy
// route, so concurrent prints never share anything.
#include "apiv2/api_v2.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/ascii.h"
#include "common/answer.h"
#include "common/diag.h"
#include "common/memory_budget.h"
#include "intake/data_url.h"
#include "intake/request_body.h"
#include "intake/utf8_text.h"
#include "pg_version.h"
#include "server/printer_list.h"
#include "server/spooler_list.h"
#include "follow/printer_listing.h"
#include "follow/watcher.h"

namespace {

constexpr int kLargestCopies = 99;
constexpr char kV2Prefix[] = "/vqapi/v2/";

const char* const kImageTypes[] = {"image/png", "image/jpeg", "image/bmp", "image/gif",
                                   "image/tiff"};

// The media type of a Content-Type value: before any parameter, trimmed,
// in lower case.
std::string MediaType(const std::string& contentType) {
  std::string type = contentType.substr(0, contentType.find(';'));
  size_t first = type.find_first_not_of(" \t");
  size_t last = type.find_last_not_of(" \t");
  return first == std::string::npos ? std::string() : AsciiLower(type.substr(first, last - first + 1));
}

// The last value of a query parameter ("" when absent), as the legacy route
// takes the last of equal names.
std::string LastParam(const httplib::Request& req, const char* name) {
  std::string value;
  auto range = req.params.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) value = it->second;
  return value;
}

// The largest body a request may hold: the route's limit, or the whole
// memory budget where an administrator set it lower.
uint64_t BodyLimit() { return std::min<uint64_t>(kMaxBodyBytes, MemoryBudget()); }

V2Failure TooLarge() {
  return {413, "too-large", "the body is over " + std::to_string(BodyLimit()) + " bytes"};
}

// "reasons" and the spooler's "message" of a label's reading.
void AddReadingMembers(cJSON* root, const LabelReading& reading) {
  cJSON* reasons = cJSON_AddArrayToObject(root, "reasons");
  for (const std::string& reason : reading.reasons) cJSON_AddItemToArray(reasons, cJSON_CreateString(reason.c_str()));
  cJSON_AddStringToObject(root, "spoolerMessage", reading.message.c_str());
}

// A print's failure answer; for a label that ended badly, also which job
// it was and how it ended.
void SetFailure(httplib::Response& res, const V2Failure& failure, const FollowedJob* job = nullptr) {
  if (failure.status == 503) res.set_header("Retry-After", std::to_string(kBusyRetrySeconds));
  DiagLine("v2 answer " + std::to_string(failure.status) + " " + failure.code + ": " +
           failure.message);
  cJSON* root = cJSON_CreateObject();
  cJSON_AddFalseToObject(root, "printed");
  cJSON_AddStringToObject(root, "error", failure.code);
  // Messages may quote the posted bytes (an image's chunk names, a
  // printer's name); the answer is JSON, which must be UTF-8 whatever came.
  cJSON_AddStringToObject(root, "message", Utf8OrReplaced(failure.message).c_str());
  if (job != nullptr) {
    cJSON_AddStringToObject(root, "printer", job->printer.c_str());
    cJSON_AddNumberToObject(root, "job", job->job);
    cJSON_AddStringToObject(root, "state", LabelStateName(job->reading.state));
    AddReadingMembers(root, job->reading);
  }
  res.status = failure.status;
  SetJsonBody(res, root);
}

// Whether the spooler lists a queue of that name now, and whether it is
// online (not set to work offline). *listed is false also when the listing
// itself failed.
void FindQueue(const std::string& utf8Name, bool* listed, bool* online) {
  *listed = false;
  *online = false;
  std::vector<SpoolerPrinter> records;
  if (!EnumLocalPrinters(&records)) return;
  for (const SpoolerPrinter& record : records) {
    if (record.utf8Name == utf8Name) {
      *listed = true;
      *online = !(record.attributes & kPrinterAttributeWorkOffline);
      return;
    }
  }
}

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

}  // namespace

bool IsV2Answer(const httplib::Request& req, const httplib::Response& res) {
  return req.path.compare(0, sizeof(kV2Prefix) - 1, kV2Prefix) == 0 &&
         res.get_header_value("Content-Type") == "application/json" && !res.body.empty();
}

bool ParseCopies(const httplib::Request& req, int* copies) {
  *copies = 0;
  if (!req.has_param("copies")) return true;
  std::string value = LastParam(req, "copies");
  if (value.empty() || value.size() > 2) return false;
  int count = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    count = count * 10 + (c - '0');
  }
  if (count < 1 || count > kLargestCopies) return false;
  *copies = count;
  return true;
}

bool ParseUntil(const httplib::Request& req, bool* until, int* waitSeconds) {
  *until = req.has_param("until");
  *waitSeconds = kDefaultWaitSeconds;
  if (*until && LastParam(req, "until") != "printed") return false;
  if (!req.has_param("wait")) return true;
  std::string value = LastParam(req, "wait");
  if (value.empty() || value.size() > 3) return false;
  int seconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    seconds = seconds * 10 + (c - '0');
  }
  if (seconds > kLongestWaitSeconds) return false;
  *waitSeconds = seconds;
  return true;
}

bool ImageFromBody(const std::string& contentType, const std::string& body, std::string* image,
                   V2Failure* failure) {
  std::string type = MediaType(contentType);
  for (const char* known : kImageTypes) {
    if (type == known) {
      *image = body;
      return true;
    }
  }
  switch (DecodeDataUrl(body, image)) {
    case kDataUrlDecoded:
      return true;
    case kDataUrlNotOne:
      *failure = V2Failure{415, "not-an-image",
                           "the body is neither an image (Content-Type image/png, image/jpeg, "
                           "image/bmp, image/gif or image/tiff) nor a data URL"};
      return false;
    case kDataUrlNoComma:
      *failure = V2Failure{400, "bad-request", "the data URL has no comma before its data"};
      return false;
    case kDataUrlBadBase64:
      *failure = V2Failure{400, "bad-request", "the data URL's base64 text is broken"};
      return false;
    case kDataUrlBadPercent:
      break;
  }
  *failure = V2Failure{400, "bad-request", "the data URL's percent-encoded text is broken"};
  return false;
}

V2Failure BusyFailure() {
  return {503, "busy",
          "printgate holds as much memory as its budget allows (" + std::to_string(MemoryBudget() >> 20) +
              " MiB) for other requests; nothing was stored or printed: send it again in a moment"};
}

V2Failure FailureOfJob(const PrintReport& report) {
  std::string code = std::to_string(report.lastError);
  switch (report.step) {
    case kPrintStepNoSettings:
      return {500, "print-failed",
              "PrintDlg: the system has no default printer and none was chosen, so there are "
              "no printer settings to start from"};
    case kPrintStepPrinterNotOpened:
      if (report.unknownPrinter) {
        return {404, "printer-not-found", "CreateDC: no printer has this name (error " + code + ")"};
      }
      return {500, "print-failed", "CreateDC: the printer could not be opened (error " + code + ")"};
    case kPrintStepSettingsLocked:
      return {500, "print-failed", "GlobalLock: the printer settings could not be locked"};
    case kPrintStepNoImage:
      // A cut or corrupted image is told apart from one of no known kind: a
      // page may send it again, where another kind of file would fail again.
      if (report.damaged) {
        return {415, "damaged-image", report.imageFault + "; nothing was printed"};
      }
      if (!report.imageFault.empty()) return {415, "not-an-image", report.imageFault};
      return {415, "not-an-image",
              "the body could not be decoded as a PNG, JPEG, BMP, GIF or TIFF image of at least "
              "1 x 1 pixels"};
    case kPrintStepPaperTooLarge:
      return {422, "image-too-large-for-paper",
              LabelSizeRefusal(kLabelPaperTooLarge, report.width, report.height)};
    case kPrintStepImageTooLarge:
      return {422, "image-too-large-for-paper",
              LabelSizeRefusal(kLabelTooLargeToDecode, report.width, report.height)};
    case kPrintStepOverBudget:
      return {422, "image-too-large-for-paper",
              LabelSizeRefusal(kLabelOverMemoryBudget, report.width, report.height)};
    case kPrintStepBusy:
      return BusyFailure();
    case kPrintStepStartDoc:
      return {500, "print-failed",
              "StartDoc: the spooler did not start the document (error " + code + ")"};
    case kPrintStepStartPage:
      return {500, "print-failed", "StartPage: the page did not start"};
    case kPrintStepDraw:
      return {500, "print-failed", "drawing the label on the page failed"};
    case kPrintStepEndPage:
      return {500, "print-failed", "EndPage: the page did not end"};
    case kPrintStepEndDoc:
      return {500, "print-failed", "EndDoc: the spooler did not take the document"};
    case kPrintStepDone:
      break;
  }
  return {500, "print-failed", "the print job ended in an unknown state"};
}

void HandlePrintersV2(const httplib::Request& req, httplib::Response& res) {
  SetCrossOriginHeaders(res);
  // Presence alone turns an option on, as on the legacy listing.
  bool onlyLocal = req.has_param("onlyLocal");
  bool onlyOnline = req.has_param("onlyOnline");
  bool onlySupported = req.has_param("onlySupported");
  DiagLine(std::string("v2 printers ") + (onlyLocal ? "1" : "0") + (onlyOnline ? "1" : "0") +
           (onlySupported ? "1" : "0"));

  std::vector<SpoolerPrinter> records;
  bool listed = EnumLocalPrinters(&records);
  // The queues' states come from a second look; a queue it lacks (or a
  // look that failed) reads idle rather than failing the listing.
  std::vector<PrinterReading> readings;
  if (listed) ListPrinterStates(&readings);
  cJSON* root = PrinterListingJson(MergePrinterStates(records, readings), listed,
                                   FilterMode(onlyLocal, onlyOnline, onlySupported));
  if (!listed) res.status = 500;
  SetJsonBody(res, root);
}

namespace {

// The body of a print request, whole and within the limit. False when it
// is not (the failure answer is set).
bool ReadPrintBody(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& contentReader, std::string* body) {
  bool declared = false;
  if (DeclaredBodyLength(req, &declared) > BodyLimit()) {
    DrainBody(req, contentReader);
    SetFailure(res, TooLarge());
    return false;
  }
  if (req.is_multipart_form_data()) {
    DrainBody(req, contentReader);
    SetFailure(res, {415, "not-an-image", "a multipart body is not an image; post the image itself"});
    return false;
  }
  switch (ReadWholeBody(req, contentReader, BodyLimit(), body)) {
    case kBodyWhole:
      return true;
    case kBodyTooLarge:
      SetFailure(res, TooLarge());
      return false;
    case kBodyBusy:
      SetFailure(res, BusyFailure());
      return false;
    case kBodyCut:
      break;
  }
  SetFailure(res, {400, "bad-request", "the body was cut off or malformed in transit"});
  return false;
}

// The answer for a job: what printed, or which step failed; with `until`,
// how the label ended or where it stands after waitSeconds.
void AnswerJob(httplib::Response& res, const std::string& printer, PrintReport report, bool until,
               int waitSeconds) {
  bool listed = false;
  bool online = false;
  if (report.step == kPrintStepPrinterNotOpened && !report.unknownPrinter) {
    // Not every spooler gives a reason (Wine's CreateDCW leaves 0): a name
    // the listing lacks is unknown whatever the code.
    FindQueue(printer, &listed, &online);
    report.unknownPrinter = !listed;
  }
  if (report.step != kPrintStepDone) {
    V2Failure jobFailure = FailureOfJob(report);
    if (jobFailure.status == 404) jobFailure.message = Quoted(printer) + ": " + jobFailure.message;
    SetFailure(res, jobFailure);
    return;
  }
  FollowedJob job;
  job.printer = printer;
  job.job = report.jobId;
  bool followed = until ? WaitForJobEnd(printer, report.jobId, waitSeconds, &job)
                        : LookUpJob(printer, report.jobId, &job);
  if (!followed) job.reading = LabelReading{};
  LabelState state = job.reading.state;
  if (until && (state == kLabelFailed || state == kLabelCanceled)) {
    V2Failure ended = state == kLabelFailed
                          ? V2Failure{500, "print-failed",
                                      "the spooler gave up on the label" +
                                          (job.reading.message.empty() ? std::string() : ": " + job.reading.message)}
                          : V2Failure{409, "canceled", "the label was canceled before it printed"};
    SetFailure(res, ended, &job);
    return;
  }
  cJSON* root = cJSON_CreateObject();
  cJSON_AddTrueToObject(root, "printed");
  cJSON_AddStringToObject(root, "printer", printer.c_str());
  cJSON_AddNumberToObject(root, "job", report.jobId);
  // One pixel is an eighth of a millimetre.
  cJSON_AddNumberToObject(root, "widthMm", report.width / 8.0);
  cJSON_AddNumberToObject(root, "heightMm", report.height / 8.0);
  FindQueue(printer, &listed, &online);
  cJSON_AddBoolToObject(root, "online", online);
  cJSON_AddStringToObject(root, "state", LabelStateName(state));
  if (until && state != kLabelPrinted) {
    // Not ended within the wait: where it stands, and why it is not moving.
    AddReadingMembers(root, job.reading);
    res.status = 202;
  }
  DiagLine("v2 answer " + std::to_string(res.status == 202 ? 202 : 200) + " " + LabelStateName(state) + " job " +
           std::to_string(report.jobId));
  SetJsonBody(res, root);
}

}  // namespace

void HandlePrintV2(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& contentReader) {
  SetCrossOriginHeaders(res);
  std::string printer = LastParam(req, "printer");
  if (printer.empty()) printer = DefaultPrinterName();
  DiagLine("v2 print printer = " + printer);
  BeginRequestHold(printer);

  std::string body;
  if (!ReadPrintBody(req, res, contentReader, &body)) return;
  int copies = 0;
  if (!ParseCopies(req, &copies)) {
    SetFailure(res, {400, "bad-request", "copies must be a whole number from 1 to 99"});
    return;
  }
  bool until = false;
  int waitSeconds = 0;
  if (!ParseUntil(req, &until, &waitSeconds)) {
    SetFailure(res, {400, "bad-request",
                     "until must be \"printed\", and wait a whole number of seconds from 0 to " +
                         std::to_string(kLongestWaitSeconds)});
    return;
  }
  if (!IsUtf8(printer)) {
    SetFailure(res, {404, "printer-not-found", "the printer name is not UTF-8 text, so no queue has it"});
    return;
  }
  // The image is the body or decoded from it: both are held a moment.
  HoldResult hold = HoldAtLeast(2 * static_cast<uint64_t>(body.size()));
  if (hold != kHeld) {
    SetFailure(res, hold == kBudgetBusy ? BusyFailure() : TooLarge());
    return;
  }
  std::string image;
  V2Failure failure{0, "", ""};
  if (!ImageFromBody(req.get_header_value("Content-Type"), body, &image, &failure)) {
    SetFailure(res, failure);
    return;
  }
  std::string().swap(body);
  HoldAtMost(image.size());
  if (image.empty()) {
    SetFailure(res, {415, "not-an-image", "the body holds no image"});
    return;
  }
  PrintReport report = PrintLabelBytes(printer, image, copies);
  // Waiting for the label's end (until=printed, up to minutes) holds none
  // of the budget: the image is the spooler's now.
  std::string().swap(image);
  ReleaseHold();
  AnswerJob(res, printer, report, until, waitSeconds);
}
