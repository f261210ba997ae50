// The follow seam over the CUPS scheduler: Get-Job-Attributes for a job and
// Get-Printer-Attributes for its queue while it has not ended, Cancel-Job,
// and one CUPS-Get-Printers for every queue's state. No subscriptions:
// cupsd answers notify-wait at once and holds at most 100 of them for the
// whole machine. CUPS keeps finished jobs in its history, so nothing needs
// holding.
#include "follow/follow_spooler.h"

#include <cups/cups.h>

#include <cstring>

#include "base/ipp_cups.h"

namespace {

const char* const kJobAttributes[] = {"job-state", "job-state-reasons", "job-printer-state-message"};
const char* const kPrinterAttributes[] = {"printer-name", "printer-state", "printer-state-reasons",
                                          "printer-state-message", "printer-is-accepting-jobs"};

std::vector<std::string> Keywords(ipp_attribute_t* attr) {
  std::vector<std::string> words;
  for (int i = 0; i < ippGetCount(attr); ++i) {
    const char* word = ippGetString(attr, i, nullptr);
    if (word != nullptr && std::strcmp(word, "none") != 0) words.push_back(word);
  }
  return words;
}

// The queue's facts from the attributes of one printer group, from *attr
// up to the group's end. *name receives its name, if it has one.
void ReadPrinterGroup(ipp_t* response, ipp_attribute_t** attr, CupsJobFacts* facts, std::string* name) {
  for (; *attr != nullptr && ippGetGroupTag(*attr) == IPP_TAG_PRINTER; *attr = ippNextAttribute(response)) {
    const char* attrName = ippGetName(*attr);
    if (attrName == nullptr) continue;
    ipp_tag_t tag = ippGetValueTag(*attr);
    if (!std::strcmp(attrName, "printer-name") && tag == IPP_TAG_NAME) {
      *name = ippGetString(*attr, 0, nullptr);
    } else if (!std::strcmp(attrName, "printer-state") && tag == IPP_TAG_ENUM) {
      facts->printerState = ippGetInteger(*attr, 0);
    } else if (!std::strcmp(attrName, "printer-state-reasons") && tag == IPP_TAG_KEYWORD) {
      facts->printerReasons = Keywords(*attr);
    } else if (!std::strcmp(attrName, "printer-state-message") && tag == IPP_TAG_TEXT) {
      facts->printerMessage = ippGetString(*attr, 0, nullptr);
    } else if (!std::strcmp(attrName, "printer-is-accepting-jobs") && tag == IPP_TAG_BOOLEAN) {
      facts->accepting = ippGetBoolean(*attr, 0) != 0;
    }
  }
}

ipp_t* JobRequest(ipp_op_t op, const std::string& printer, int jobId) {
  ipp_t* request = ippNewRequest(op);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, IppPrinterUri(printer).c_str());
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  return request;
}

// The queue's state, for a job that has not ended. False when the
// scheduler did not answer.
bool ReadQueue(const std::string& printer, CupsJobFacts* facts) {
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, IppPrinterUri(printer).c_str());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(sizeof(kPrinterAttributes) / sizeof(kPrinterAttributes[0])), nullptr,
                kPrinterAttributes);
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  if (response == nullptr) return false;
  ipp_attribute_t* attr = ippFirstAttribute(response);
  while (attr != nullptr && ippGetGroupTag(attr) != IPP_TAG_PRINTER) attr = ippNextAttribute(response);
  std::string name;
  ReadPrinterGroup(response, &attr, facts, &name);
  ippDelete(response);
  return true;
}

}  // namespace

SpoolerJobLookup ReadSpoolerJob(const std::string& printer, int jobId, LabelReading* reading) {
  if (IppPrinterUri(printer).empty()) return kSpoolerJobGone;
  ipp_t* request = JobRequest(IPP_OP_GET_JOB_ATTRIBUTES, printer, jobId);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(sizeof(kJobAttributes) / sizeof(kJobAttributes[0])), nullptr, kJobAttributes);
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  if (response == nullptr) {
    return status == IPP_STATUS_ERROR_NOT_FOUND ? kSpoolerJobGone : kSpoolerJobFailed;
  }
  CupsJobFacts facts;
  ipp_attribute_t* attr = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
  if (attr != nullptr) facts.jobState = ippGetInteger(attr, 0);
  attr = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD);
  if (attr != nullptr) facts.jobReasons = Keywords(attr);
  attr = ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT);
  if (attr != nullptr) facts.jobMessage = ippGetString(attr, 0, nullptr);
  ippDelete(response);
  bool ended = facts.jobState >= IPP_JSTATE_CANCELED;
  if (!ended && !ReadQueue(printer, &facts)) return kSpoolerJobFailed;
  *reading = ReadCupsJob(facts);
  return kSpoolerJobFound;
}

bool HoldSpoolerJob(const std::string&, int) { return true; }

void ReleaseSpoolerJob(const std::string&, int) {}

bool CancelSpoolerJob(const std::string& printer, int jobId, unsigned long* error) {
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(JobRequest(IPP_OP_CANCEL_JOB, printer, jobId), "/jobs/", nullptr, &status);
  if (response == nullptr) {
    *error = static_cast<unsigned long>(status);
    return false;
  }
  ippDelete(response);
  return true;
}

bool ReadSpoolerPrinters(std::vector<PrinterReading>* printers) {
  printers->clear();
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(sizeof(kPrinterAttributes) / sizeof(kPrinterAttributes[0])), nullptr,
                kPrinterAttributes);
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  // A scheduler without queues answers "not found": an empty list.
  if (response == nullptr) return status == IPP_STATUS_ERROR_NOT_FOUND;
  ipp_attribute_t* attr = ippFirstAttribute(response);
  while (attr != nullptr) {
    while (attr != nullptr && ippGetGroupTag(attr) != IPP_TAG_PRINTER) attr = ippNextAttribute(response);
    if (attr == nullptr) break;
    CupsJobFacts facts;
    std::string name;
    ReadPrinterGroup(response, &attr, &facts, &name);
    if (!name.empty()) printers->push_back(ReadCupsPrinter(name, facts));
  }
  ippDelete(response);
  return true;
}
