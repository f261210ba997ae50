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

void RefuseTooLarge(httplib::Response& res) {
  DiagLine("pic data is too large (over " + std::to_string(kMaxBodyBytes) + " bytes), refused");
  res.status = 413;  // the error handler renders the page
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

// Stores the decoded bytes and prints them, one request at a time.
void StoreAndPrint(const std::wstring& jpgFilePath, std::string& s_mat,
                   const std::string& printName) {
  std::lock_guard<std::mutex> lock(printMutex);
  WriteFileResult written = WriteWholeFile(jpgFilePath, s_mat.data(), s_mat.size());
  std::string().swap(s_mat);  // not needed while the job runs
  if (written == kFileWritten) DiagLine("Picture file is saved to tempVQ.JPG.");
  DiagLine("pic file is save to tempVQ");
  if (written != kFileWritten) {
    SkipPrint(written == kFileNotOpened ? "file not opened" : "file not fully written");
    return;
  }
  DiagLine("start print");
  PrintLabelImage(printName);
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
  if (received > kMaxBodyBytes) {
    RefuseTooLarge(res);
    return false;
  }
  SkipPrint("multipart body");
  return true;
}

// Decodes a whole, non-empty body and, when the file's path can be had,
// stores and prints it.
void StoreBody(std::string& body, const std::string& printName) {
  // The base64 text is the second comma-separated piece; a body without a
  // comma is taken whole. Decoded straight from the body: no copies of it.
  size_t offset = 0;
  size_t length = body.size();
  if (!FindSplitPiece(body.data(), body.size(), ",", 1, &offset, &length)) {
    offset = 0;
    length = body.size();
  }
  std::string s_mat = DecodeBase64(body.data() + offset, length);
  std::string().swap(body);

  std::wstring publicFolderPath;
  if (!GetCommonDocumentsFolder(&publicFolderPath)) {
    DiagText("Failed to retrieve Common Documents folder path.\n");
    SkipPrint("folder lookup failed");
    return;
  }
  std::wstring jpgFilePath;
  if (!TempImagePath(publicFolderPath, &jpgFilePath)) {
    DiagLine("tempVQ.JPG path is longer than 259 characters, file not saved");
    SkipPrint("path too long");
    return;
  }
  StoreAndPrint(jpgFilePath, s_mat, printName);
}

}  // namespace

void HandlePrintImage(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& contentReader) {
  SetCrossOriginHeaders(res);
  std::string printName = PrinterFromParams(req);

  bool declared = false;
  if (DeclaredBodyLength(req, &declared) > kMaxBodyBytes) {
    DrainBody(req, contentReader);
    RefuseTooLarge(res);
    return;
  }
  if (req.is_multipart_form_data()) {
    if (SkipMultipart(res, contentReader)) SetFixedAnswer(res);
    return;
  }

  std::string body;
  bool tooLarge = false;
  bool complete = ReadWholeBody(req, contentReader, kMaxBodyBytes, &body, &tooLarge);
  if (tooLarge) {
    RefuseTooLarge(res);
    return;
  }
  if (!complete) {
    // A body cut off or malformed in transit would print a broken label;
    // the library's error status stays on the answer.
    SkipPrint("body not fully received");
  } else if (body.empty()) {
    DiagLine(" pic data is empty ");
    SkipPrint("empty body");
  } else {
    StoreBody(body, printName);
  }
  SetFixedAnswer(res);
}
