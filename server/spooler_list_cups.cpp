// Spooler listing over libcups: the scheduler's queues, asked for with one
// CUPS-Get-Printers request, as the listing's SpoolerPrinter records.
//
// How CUPS states become the two attribute bits the listing filters on:
// - network (0x10): a queue that stands for a printer or queue held by another
//   machine, as CUPS marks it: printer-type carries CUPS_PRINTER_REMOTE (a
//   queue shared from another server) or CUPS_PRINTER_DISCOVERED (made on
//   demand for a printer found on the network), or printer-is-temporary is
//   set, or its device is another CUPS server's queue (an ipp, ipps, http or
//   https device URI whose path is /printers/... or /classes/...). A local
//   queue that drives a network printer over socket://, lpd:// or the like
//   is local, as a Windows queue on a TCP/IP port is.
// - work offline (0x400): the queue is stopped (printer-state 5, "disabled")
//   or does not accept jobs ("rejecting"): either way a label sent to it now
//   is not printed now.
// Names are the scheduler's, UTF-8 bytes as they come. The default queue is
// the scheduler's (printer-type carries CUPS_PRINTER_DEFAULT).
#include "server/spooler_list.h"

#include <cups/cups.h>

#include "base/ipp_cups.h"

#include <cstring>

namespace {

const char* const kRequested[] = {"printer-name",   "printer-type",  "printer-state",
                                  "printer-is-accepting-jobs", "printer-is-temporary",
                                  "device-uri"};

// True when a device URI points at a queue of another CUPS server; host
// receives that server's name.
bool IsQueueOfAnotherServer(const char* deviceUri, std::string* host) {
  if (deviceUri == nullptr) return false;
  char scheme[32];
  char userpass[256];
  char hostname[256];
  char resource[1024];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, deviceUri, scheme, sizeof(scheme), userpass,
                      sizeof(userpass), hostname, sizeof(hostname), &port, resource,
                      sizeof(resource)) < HTTP_URI_STATUS_OK) {
    return false;
  }
  bool ippLike = !strcmp(scheme, "ipp") || !strcmp(scheme, "ipps") || !strcmp(scheme, "http") ||
                 !strcmp(scheme, "https");
  bool queuePath = !strncmp(resource, "/printers/", 10) || !strncmp(resource, "/classes/", 9);
  if (!ippLike || !queuePath) return false;
  *host = hostname;
  return true;
}

// One printer's attributes, from the current position of the response up to
// the group separator that ends them.
SpoolerPrinter ReadPrinter(ipp_t* response, ipp_attribute_t** attr, bool* named) {
  SpoolerPrinter printer{false, std::string(), std::string(), 0};
  int type = 0;
  int state = IPP_PSTATE_IDLE;
  bool accepting = true;
  bool temporary = false;
  const char* deviceUri = nullptr;
  *named = false;
  for (; *attr != nullptr && ippGetGroupTag(*attr) == IPP_TAG_PRINTER;
       *attr = ippNextAttribute(response)) {
    const char* name = ippGetName(*attr);
    if (name == nullptr) continue;
    ipp_tag_t tag = ippGetValueTag(*attr);
    if (!strcmp(name, "printer-name") && tag == IPP_TAG_NAME) {
      printer.name = ippGetString(*attr, 0, nullptr);
      *named = true;
    } else if (!strcmp(name, "printer-type") && tag == IPP_TAG_ENUM) {
      type = ippGetInteger(*attr, 0);
    } else if (!strcmp(name, "printer-state") && tag == IPP_TAG_ENUM) {
      state = ippGetInteger(*attr, 0);
    } else if (!strcmp(name, "printer-is-accepting-jobs") && tag == IPP_TAG_BOOLEAN) {
      accepting = ippGetBoolean(*attr, 0) != 0;
    } else if (!strcmp(name, "printer-is-temporary") && tag == IPP_TAG_BOOLEAN) {
      temporary = ippGetBoolean(*attr, 0) != 0;
    } else if (!strcmp(name, "device-uri") && tag == IPP_TAG_URI) {
      deviceUri = ippGetString(*attr, 0, nullptr);
    }
  }
  std::string host;
  bool elsewhere = IsQueueOfAnotherServer(deviceUri, &host);
  if ((type & (CUPS_PRINTER_REMOTE | CUPS_PRINTER_DISCOVERED)) || temporary || elsewhere) {
    printer.attributes |= kPrinterAttributeNetwork;
  }
  if (elsewhere) {
    printer.hasServerName = true;
    printer.serverName = host;
  }
  if (state == IPP_PSTATE_STOPPED || !accepting) {
    printer.attributes |= kPrinterAttributeWorkOffline;
  }
  printer.utf8Name = printer.name;
  printer.isDefault = (type & CUPS_PRINTER_DEFAULT) != 0;
  return printer;
}

}  // namespace

bool EnumLocalPrinters(std::vector<SpoolerPrinter>* printers) {
  printers->clear();
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(sizeof(kRequested) / sizeof(kRequested[0])), nullptr,
                kRequested);
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  // A scheduler without queues answers "not found": an empty list.
  if (response == nullptr) return status == IPP_STATUS_ERROR_NOT_FOUND;
  ipp_attribute_t* attr = ippFirstAttribute(response);
  while (attr != nullptr) {
    while (attr != nullptr && ippGetGroupTag(attr) != IPP_TAG_PRINTER) {
      attr = ippNextAttribute(response);
    }
    if (attr == nullptr) break;
    bool named = false;
    SpoolerPrinter printer = ReadPrinter(response, &attr, &named);
    if (named) printers->push_back(printer);
  }
  ippDelete(response);
  return true;
}
