// The v2 listing's printer objects, one home for the listing route and the
// stream's "printers" and "printer" events: the spooler's record with the
// queue's state and reasons.
#pragma once
#include <string>
#include <vector>

#include "follow/label_states.h"
#include "server/spooler_list.h"

struct cJSON;

struct ListedPrinter {
  SpoolerPrinter record;
  PrinterReading reading;
};

// Each record with the reading of the same name (idle without reasons when
// the states lack it), in the records' order.
std::vector<ListedPrinter> MergePrinterStates(const std::vector<SpoolerPrinter>& records,
                                              const std::vector<PrinterReading>& readings);

// {"name", "online", "local", "supported", "default", "state", "reasons"}.
cJSON* ListedPrinterJson(const ListedPrinter& printer);

// {"printers": [...], "version"} and, when listed is false, "error" and
// "message" as the listing route answers a spooler that did not answer.
// mode: server/printer_list.h's filter mode (0 keeps every queue).
cJSON* PrinterListingJson(const std::vector<ListedPrinter>& printers, bool listed, int mode);
