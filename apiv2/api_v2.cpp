// The "/vqapi/v2/" routes: the printer listing with each queue's state, and
// printing from the request's own bytes with an answer that says what
// happened. Nothing here touches the temporary image file of the legacy
// route, so concurrent prints never share anything.
#include "apiv2/api_v2.h"

#include <cjson/cJSON.h>

#include <cctype>
#include <cstdio>
#include <vector>

#include "common/answer.h"
#include "common/diag.h"
#include "intake/base64.h"
#include "intake/request_body.h"
#include "pg_version.h"
#include "server/printer_list.h"
#include "server/spooler_list.h"

namespace {

constexpr int kLargestCopies = 99;
constexpr char kV2Prefix[] = "/vqapi/v2/";

const char* const kImageTypes[] = {"image/png", "image/jpeg", "image/bmp", "image/gif",
                                   "image/tiff"};

bool IsSupportedName(const std::string& name) {
  return name == "VELQ" || name == "LX4 Label Printer";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The media type of a Content-Type value: before any parameter, trimmed,
// in lower case.
std::string MediaType(const std::string& contentType) {
  std::string type = contentType.substr(0, contentType.find(';'));
  size_t first = type.find_first_not_of(" \t");
  size_t last = type.find_last_not_of(" \t");
  return first == std::string::npos ? std::string() : Lower(type.substr(first, last - first + 1));
}

// The last value of a query parameter ("" when absent), as the legacy route
// takes the last of equal names.
std::string LastParam(const httplib::Request& req, const char* name) {
  std::string value;
  auto range = req.params.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) value = it->second;
  return value;
}

// Base64 as data URLs carry it: the standard alphabet in whole groups of
// four, "=" only as the last one or two characters.
bool IsStrictBase64(const char* text, size_t length) {
  if (length % 4 != 0) return false;
  size_t padding = 0;
  if (length >= 1 && text[length - 1] == '=') ++padding;
  if (length >= 2 && text[length - 2] == '=') ++padding;
  for (size_t i = 0; i < length - padding; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(c) && c != '+' && c != '/') return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(const char* text, size_t length, std::string* bytes) {
  bytes->clear();
  bytes->reserve(length);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != '%') {
      bytes->push_back(text[i]);
      continue;
    }
    int high = i + 1 < length ? HexValue(text[i + 1]) : -1;
    int low = i + 2 < length ? HexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

void SetFailure(httplib::Response& res, const V2Failure& failure) {
  DiagLine("v2 answer " + std::to_string(failure.status) + " " + failure.code + ": " +
           failure.message);
  cJSON* root = cJSON_CreateObject();
  cJSON_AddFalseToObject(root, "printed");
  cJSON_AddStringToObject(root, "error", failure.code);
  cJSON_AddStringToObject(root, "message", failure.message.c_str());
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

bool IsUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    unsigned long code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
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

bool ImageFromBody(const std::string& contentType, const std::string& body, std::string* image,
                   V2Failure* failure) {
  std::string type = MediaType(contentType);
  for (const char* known : kImageTypes) {
    if (type == known) {
      *image = body;
      return true;
    }
  }
  if (body.size() < 5 || Lower(body.substr(0, 5)) != "data:") {
    *failure = V2Failure{415, "not-an-image",
                         "the body is neither an image (Content-Type image/png, image/jpeg, "
                         "image/bmp, image/gif or image/tiff) nor a data URL"};
    return false;
  }
  size_t comma = body.find(',');
  if (comma == std::string::npos) {
    *failure = V2Failure{400, "bad-request", "the data URL has no comma before its data"};
    return false;
  }
  std::string meta = Lower(body.substr(5, comma - 5));
  const char* data = body.data() + comma + 1;
  size_t length = body.size() - comma - 1;
  bool base64 = meta.size() >= 7 && meta.compare(meta.size() - 7, 7, ";base64") == 0;
  if (base64) {
    if (!IsStrictBase64(data, length)) {
      *failure = V2Failure{400, "bad-request", "the data URL's base64 text is broken"};
      return false;
    }
    *image = DecodeBase64(data, length);
  } else if (!PercentDecode(data, length, image)) {
    *failure = V2Failure{400, "bad-request", "the data URL's percent-encoded text is broken"};
    return false;
  }
  return true;
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
      return {415, "not-an-image",
              "the body could not be decoded as a PNG, JPEG, BMP, GIF or TIFF image of at least "
              "1 x 1 pixels"};
    case kPrintStepPaperTooLarge: {
      char text[160];
      std::snprintf(text, sizeof(text),
                    "a %d x %d pixel label needs paper past the largest the printer settings "
                    "can hold (3276.7 mm, 26083 x 26213 pixels)",
                    report.width, report.height);
      return {422, "image-too-large-for-paper", text};
    }
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
  cJSON* root = cJSON_CreateObject();
  cJSON* printers = cJSON_AddArrayToObject(root, "printers");
  int mode = FilterMode(onlyLocal, onlyOnline, onlySupported);
  for (const SpoolerPrinter& record : records) {
    if (!PrinterAccepted(mode, record.utf8Name, record.attributes)) continue;
    cJSON* printer = cJSON_CreateObject();
    cJSON_AddStringToObject(printer, "name", record.utf8Name.c_str());
    cJSON_AddBoolToObject(printer, "online", !(record.attributes & kPrinterAttributeWorkOffline));
    cJSON_AddBoolToObject(printer, "local", !(record.attributes & kPrinterAttributeNetwork));
    cJSON_AddBoolToObject(printer, "supported", IsSupportedName(record.utf8Name));
    cJSON_AddBoolToObject(printer, "default", record.isDefault);
    cJSON_AddItemToArray(printers, printer);
  }
  // The program's version, so a page can tell which printgate it talks to.
  cJSON_AddStringToObject(root, "version", PG_VERSION);
  if (!listed) {
    // An empty list would say "no printers"; the spooler just didn't answer.
    cJSON_AddStringToObject(root, "error", "list-failed");
    cJSON_AddStringToObject(root, "message", "the spooler did not list its printers");
    res.status = 500;
  }
  SetJsonBody(res, root);
}

void HandlePrintV2(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& contentReader) {
  SetCrossOriginHeaders(res);
  std::string printer = LastParam(req, "printer");
  if (printer.empty()) printer = DefaultPrinterName();
  DiagLine("v2 print printer = " + printer);

  bool declared = false;
  if (DeclaredBodyLength(req, &declared) > kMaxBodyBytes) {
    DrainBody(req, contentReader);
    SetFailure(res, {413, "too-large", "the body is over 67108864 bytes"});
    return;
  }
  if (req.is_multipart_form_data()) {
    DrainBody(req, contentReader);
    SetFailure(res, {415, "not-an-image", "a multipart body is not an image; post the image itself"});
    return;
  }
  std::string body;
  bool tooLarge = false;
  bool complete = ReadWholeBody(req, contentReader, kMaxBodyBytes, &body, &tooLarge);
  if (tooLarge) {
    SetFailure(res, {413, "too-large", "the body is over 67108864 bytes"});
    return;
  }
  if (!complete) {
    SetFailure(res, {400, "bad-request", "the body was cut off or malformed in transit"});
    return;
  }

  int copies = 0;
  if (!ParseCopies(req, &copies)) {
    SetFailure(res, {400, "bad-request", "copies must be a whole number from 1 to 99"});
    return;
  }
  if (!IsUtf8(printer)) {
    SetFailure(res, {404, "printer-not-found", "the printer name is not UTF-8 text, so no queue has it"});
    return;
  }
  std::string image;
  V2Failure failure{0, "", ""};
  if (!ImageFromBody(req.get_header_value("Content-Type"), body, &image, &failure)) {
    SetFailure(res, failure);
    return;
  }
  std::string().swap(body);
  if (image.empty()) {
    SetFailure(res, {415, "not-an-image", "the body holds no image"});
    return;
  }

  PrintReport report = PrintLabelBytes(printer, image, copies);
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
  cJSON* root = cJSON_CreateObject();
  cJSON_AddTrueToObject(root, "printed");
  cJSON_AddStringToObject(root, "printer", printer.c_str());
  cJSON_AddNumberToObject(root, "job", report.jobId);
  // One pixel is an eighth of a millimetre.
  cJSON_AddNumberToObject(root, "widthMm", report.width / 8.0);
  cJSON_AddNumberToObject(root, "heightMm", report.height / 8.0);
  FindQueue(printer, &listed, &online);
  cJSON_AddBoolToObject(root, "online", online);
  DiagLine("v2 answer 200 printed job " + std::to_string(report.jobId));
  SetJsonBody(res, root);
}
