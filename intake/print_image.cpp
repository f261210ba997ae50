// The PrintImage endpoint: stores the posted label image as the temporary
// image file and prints it on the queue named in the query string.
#include "intake/print_image.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "common/answer.h"
#include "common/diag.h"
#include "common/memory_budget.h"
#include "common/temp_file.h"
#include "common/temp_image_path.h"
#include "intake/base64.h"
#include "intake/request_body.h"
#include "intake/split_string.h"
#include "render/print_job.h"

namespace {

// One temporary file serves every request: from its write to the end of the
// print job that reads it, one request at a time, so each prints its own.
std::mutex printMutex;

void SkipPrint(const char* why) {
  DiagLine(std::string("print skipped: no image stored (") + why + ")");
}

// The largest body a request may hold: the route's limit, or the whole
// memory budget where an administrator set it lower.
uint64_t BodyLimit() { return std::min<uint64_t>(kMaxBodyBytes, MemoryBudget()); }

void RefuseTooLarge(httplib::Response& res) {
  DiagLine("pic data is too large (over " + std::to_string(BodyLimit()) + " bytes), refused");
  res.status = 413;  // the error handler renders the page
}

// No room in the memory budget in time: nothing is stored or printed, and
// the client is asked to send it again shortly (the error page, as for
// every refusal of this route, with the status saying why).
void RefuseBusy(httplib::Response& res) {
  DiagLine("print refused: printgate's memory budget (" + std::to_string(MemoryBudget() >> 20) +
           " MiB) is in use by other requests; nothing stored or printed");
  res.status = 503;
  res.set_header("Retry-After", std::to_string(kBusyRetrySeconds));
}

// The query's parameters ordered by name, byte by byte; equal names keep
// the order they came in.
std::vector<const std::pair<const std::string, std::string>*> ParamsByName(const httplib::Params& params) {
  std::vector<const std::pair<const std::string, std::string>*> ordered;
  for (const auto& param : params) ordered.push_back(&param);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto* a, const auto* b) { return a->first < b->first; });
  return ordered;
}

void SetFixedAnswer(httplib::Response& res) {
  cJSON* root = cJSON_CreateObject();
  cJSON_AddStringToObject(root, "statusCode", "10001");
  cJSON_AddStringToObject(root, "resultInfo", "hahah");
  SetJsonBody(res, root);
}

// Stores the decoded bytes and prints them, one request at a time. False
// when the memory budget had no room for the image: nothing stored.
bool StoreAndPrint(const std::wstring& jpgFilePath, std::string& s_mat,
                   const std::string& printName) {
  std::lock_guard<std::mutex> lock(printMutex);
  // The job's claim, taken before the file is written so that a refusal
  // leaves the previous file as it was; the job then finds it held. An
  // image that could never fit is stored, and its job refuses it for its
  // size, as for every other size limit of this route.
  if (HoldForLabel(s_mat) == kBudgetBusy) return false;
  WriteFileResult written = WriteWholeFile(jpgFilePath, s_mat.data(), s_mat.size());
  std::string().swap(s_mat);  // not needed while the job runs
  if (written == kFileWritten) DiagLine("Picture file is saved to tempVQ.JPG.");
  DiagLine("pic file is save to tempVQ");
  if (written != kFileWritten) {
    SkipPrint(written == kFileNotOpened ? "file not opened" : "file not fully written");
    return true;
  }
  DiagLine("start print");
  return PrintStoredLabel(printName).step != kPrintStepBusy;
}

// The printer is the value of the last parameter in name order: that of the
// greatest name (the last of equal names). The order is set here, not taken
// from the library's container, whose order is its own choice. Each
// parameter is logged, and then all of them again.
std::string PrinterFromParams(const httplib::Request& req) {
  std::string printName;
  std::string context;
  for (const auto* param : ParamsByName(req.params)) {
    printName = param->second;
    std::string params = param->first + " = " + param->second;
    DiagLine(params);
    context += params + "\n";
  }
  DiagLine(context);
  return printName;
}

// Parts are never used: counts them instead of keeping them. False when the
// body was too large (refused).
bool SkipMultipart(httplib::Response& res, const httplib::ContentReader& contentReader) {
  uint64_t received = 0;
  contentReader([](const httplib::FormData&) { return true; },
                [&](const char*, size_t n) {
                  received += n;
                  return true;
                });
  DiagLine("\xc8\xd5");  // "日"
  if (received > BodyLimit()) {
    RefuseTooLarge(res);
    return false;
  }
  SkipPrint("multipart body");
  return true;
}

// Decodes a whole, non-empty body and, when the file's path can be had,
// stores and prints it. kBudgetBusy when the memory budget had no room for
// it, kNeverFits when the body and its decoded bytes are more than all of it.
HoldResult StoreBody(std::string& body, const std::string& printName) {
  // The base64 text is the second comma-separated piece; a body without a
  // comma is taken whole. Decoded straight from the body: no copies of it.
  size_t offset = 0;
  size_t length = body.size();
  if (!FindSplitPiece(body.data(), body.size(), ",", 1, &offset, &length)) {
    offset = 0;
    length = body.size();
  }
  HoldResult hold = HoldAtLeast(body.size() + length / 4 * 3 + 3);
  if (hold != kHeld) return hold;
  std::string s_mat = DecodeBase64(body.data() + offset, length);
  std::string().swap(body);
  HoldAtMost(s_mat.size());

  std::wstring publicFolderPath;
  if (!GetCommonDocumentsFolder(&publicFolderPath)) {
    DiagText("Failed to retrieve Common Documents folder path.\n");
    SkipPrint("folder lookup failed");
    return kHeld;
  }
  std::wstring jpgFilePath;
  if (!TempImagePath(publicFolderPath, &jpgFilePath)) {
    DiagLine("tempVQ.JPG path is longer than 259 characters, file not saved");
    SkipPrint("path too long");
    return kHeld;
  }
  return StoreAndPrint(jpgFilePath, s_mat, printName) ? kHeld : kBudgetBusy;
}

}  // namespace

void HandlePrintImage(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& contentReader) {
  SetCrossOriginHeaders(res);
  std::string printName = PrinterFromParams(req);
  BeginRequestHold(printName.empty() ? DefaultPrinterName() : printName);

  bool declared = false;
  if (DeclaredBodyLength(req, &declared) > BodyLimit()) {
    DrainBody(req, contentReader);
    RefuseTooLarge(res);
    return;
  }
  if (req.is_multipart_form_data()) {
    if (SkipMultipart(res, contentReader)) SetFixedAnswer(res);
    return;
  }

  std::string body;
  BodyRead read = ReadWholeBody(req, contentReader, BodyLimit(), &body);
  if (read == kBodyTooLarge) {
    RefuseTooLarge(res);
    return;
  }
  if (read == kBodyBusy) {
    RefuseBusy(res);
    return;
  }
  if (read == kBodyCut) {
    // A body cut off or malformed in transit would print a broken label;
    // the library's error status stays on the answer.
    SkipPrint("body not fully received");
  } else if (body.empty()) {
    DiagLine(" pic data is empty ");
    SkipPrint("empty body");
  } else {
    HoldResult stored = StoreBody(body, printName);
    if (stored == kNeverFits) {
      RefuseTooLarge(res);
      return;
    }
    if (stored == kBudgetBusy) {
      RefuseBusy(res);
      return;
    }
  }
  SetFixedAnswer(res);
}
