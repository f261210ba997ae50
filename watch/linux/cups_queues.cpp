// The scheduler's queues for the Linux spooler seam: the queue names of the
// Windows scheme, a queue's attributes, and the IPP requests over base/'s
// exchange, with the scheduler's statuses turned into the spooler's codes.
#include "watch/linux/cups_queues.h"

#include <cctype>
#include <cstdlib>

#include "base/ipp_cups.h"
#include "base/win_error.h"

static const char* const kPrinterAttributes[] = {
    "printer-name",        "printer-make-and-model", "printer-state",   "printer-is-accepting-jobs",
    "printer-is-shared",   "printer-type",           "device-uri",      "printer-info",
    "printer-location",    "printer-error-policy",   "printer-op-policy", kPositionOption};

static bool IsDigits(const std::string& text, size_t from) {
  if (from >= text.size()) return false;
  for (size_t i = from; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

std::string ToCupsName(const std::string& name) {
  size_t mark = name.rfind(" #");
  if (mark != std::string::npos && mark > 0 && IsDigits(name, mark + 2)) {
    return name.substr(0, mark) + "_" + name.substr(mark + 2);
  }
  return name;
}

std::string FromCupsName(const std::string& name) {
  size_t mark = name.rfind('_');
  if (mark != std::string::npos && mark > 0 && IsDigits(name, mark + 1)) {
    return name.substr(0, mark) + " #" + name.substr(mark + 1);
  }
  return name;
}

bool ValidCupsName(const std::string& name) {
  if (name.empty() || name.size() >= 128) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c == 127 || c == '/' || c == '\\' || c == '?' || c == '\'' || c == '"' || c == '#' ||
        c == '@') {
      return false;
    }
  }
  return true;
}

uint32_t ErrorOf(ipp_status_t status) {
  switch (status) {
    case IPP_STATUS_ERROR_NOT_FOUND:
      return kErrorInvalidPrinterName;
    case IPP_STATUS_ERROR_FORBIDDEN:
    case IPP_STATUS_ERROR_NOT_AUTHORIZED:
    case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
      return kErrorAccessDenied;
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
      return kErrorServerUnavailable;
    default:
      return static_cast<uint32_t>(status);
  }
}

ipp_t* NewRequest(ipp_op_t operation, const std::string& cupsName) {
  ipp_t* request = ippNewRequest(operation);
  if (!cupsName.empty()) {
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, IppPrinterUri(cupsName).c_str());
  }
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  return request;
}

ipp_t* Send(ipp_t* request, const char* resource, uint32_t* error, const char* file) {
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, resource, file, &status);
  if (response == nullptr) *error = ErrorOf(status);
  return response;
}

bool SendOnly(ipp_t* request, const char* resource, uint32_t* error, const char* file) {
  ipp_t* response = Send(request, resource, error, file);
  if (response == nullptr) return false;
  ippDelete(response);
  return true;
}

bool QueueCommand(ipp_op_t operation, const std::string& cupsName, uint32_t* error) {
  return SendOnly(NewRequest(operation, cupsName), "/admin/", error);
}

const char* Text(ipp_attribute_t* attribute) {
  const char* text = ippGetString(attribute, 0, nullptr);
  return text != nullptr ? text : "";
}

static void ApplyPosition(const char* text, CupsPrinter* printer) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  printer->hasPosition = std::isdigit(static_cast<unsigned char>(*text)) && *end == '\0' && value <= 0xffffffffULL;
  printer->position = printer->hasPosition ? static_cast<uint32_t>(value) : 0;
}

static void ApplyAttribute(ipp_attribute_t* attribute, CupsPrinter* printer) {
  std::string key = ippGetName(attribute);
  if (key == "printer-name") printer->name = Text(attribute);
  else if (key == "printer-make-and-model") printer->makeModel = Text(attribute);
  else if (key == "printer-state") printer->state = ippGetInteger(attribute, 0);
  else if (key == "printer-is-accepting-jobs") printer->accepting = ippGetBoolean(attribute, 0) != 0;
  else if (key == "printer-is-shared") printer->shared = ippGetBoolean(attribute, 0) != 0;
  else if (key == "printer-type") {
    int type = ippGetInteger(attribute, 0);
    printer->isClass = (type & (CUPS_PRINTER_CLASS | CUPS_PRINTER_IMPLICIT)) != 0;
    printer->isDefault = (type & CUPS_PRINTER_DEFAULT) != 0;
  } else if (key == "device-uri") printer->deviceUri = Text(attribute);
  else if (key == "printer-info") printer->info = Text(attribute);
  else if (key == "printer-location") printer->location = Text(attribute);
  else if (key == "printer-error-policy") printer->errorPolicy = Text(attribute);
  else if (key == "printer-op-policy") printer->opPolicy = Text(attribute);
  else if (key == kPositionOption) ApplyPosition(Text(attribute), printer);
}

// The printers of an answer, in its order: each printer group is one.
static std::vector<CupsPrinter> ParsePrinters(ipp_t* response) {
  std::vector<CupsPrinter> printers;
  bool inPrinter = false;
  for (ipp_attribute_t* attribute = ippFirstAttribute(response); attribute != nullptr;
       attribute = ippNextAttribute(response)) {
    if (ippGetGroupTag(attribute) != IPP_TAG_PRINTER || ippGetName(attribute) == nullptr) {
      inPrinter = false;
      continue;
    }
    if (!inPrinter) printers.emplace_back();
    inPrinter = true;
    ApplyAttribute(attribute, &printers.back());
  }
  return printers;
}

static void AskFor(ipp_t* request) {
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(sizeof kPrinterAttributes / sizeof kPrinterAttributes[0]), nullptr,
                kPrinterAttributes);
}

bool GetPrinter(const std::string& cupsName, CupsPrinter* printer, uint32_t* error) {
  if (!ValidCupsName(cupsName)) {
    *error = kErrorInvalidPrinterName;
    return false;
  }
  ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, cupsName);
  AskFor(request);
  ipp_t* response = Send(request, "/", error);
  if (response == nullptr) return false;
  std::vector<CupsPrinter> printers = ParsePrinters(response);
  ippDelete(response);
  if (printers.empty()) {
    *error = kErrorInvalidPrinterName;
    return false;
  }
  *printer = printers.front();
  return true;
}

bool GetPrinters(std::vector<CupsPrinter>* printers, uint32_t* error) {
  printers->clear();
  ipp_t* request = NewRequest(IPP_OP_CUPS_GET_PRINTERS, "");
  AskFor(request);
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  // No queue at all is an answer too.
  if (response == nullptr && status == IPP_STATUS_ERROR_NOT_FOUND) return true;
  if (response == nullptr) {
    *error = ErrorOf(status);
    return false;
  }
  *printers = ParsePrinters(response);
  ippDelete(response);
  return true;
}
