// The listing's printer objects and envelope, as the v2 listing route and
// the event stream both send them.
#include "follow/printer_listing.h"

#include <cjson/cJSON.h>

#include "pg_version.h"
#include "server/printer_list.h"

std::vector<ListedPrinter> MergePrinterStates(const std::vector<SpoolerPrinter>& records,
                                              const std::vector<PrinterReading>& readings) {
  std::vector<ListedPrinter> merged;
  for (const SpoolerPrinter& record : records) {
    ListedPrinter printer{record, PrinterReading{}};
    printer.reading.name = record.utf8Name;
    for (const PrinterReading& reading : readings) {
      if (reading.name == record.utf8Name) {
        printer.reading = reading;
        break;
      }
    }
    merged.push_back(printer);
  }
  return merged;
}

cJSON* ListedPrinterJson(const ListedPrinter& printer) {
  const SpoolerPrinter& record = printer.record;
  cJSON* item = cJSON_CreateObject();
  cJSON_AddStringToObject(item, "name", record.utf8Name.c_str());
  cJSON_AddBoolToObject(item, "online", !(record.attributes & kPrinterAttributeWorkOffline));
  cJSON_AddBoolToObject(item, "local", !(record.attributes & kPrinterAttributeNetwork));
  cJSON_AddBoolToObject(item, "supported", IsSupportedPrinterName(record.utf8Name));
  cJSON_AddBoolToObject(item, "default", record.isDefault);
  cJSON_AddStringToObject(item, "state", PrinterStateName(printer.reading.state));
  cJSON* reasons = cJSON_AddArrayToObject(item, "reasons");
  for (const std::string& reason : printer.reading.reasons) {
    cJSON_AddItemToArray(reasons, cJSON_CreateString(reason.c_str()));
  }
  return item;
}

cJSON* PrinterListingJson(const std::vector<ListedPrinter>& printers, bool listed, int mode) {
  cJSON* root = cJSON_CreateObject();
  cJSON* items = cJSON_AddArrayToObject(root, "printers");
  for (const ListedPrinter& printer : printers) {
    if (!PrinterAccepted(mode, printer.record.utf8Name, printer.record.attributes)) continue;
    cJSON_AddItemToArray(items, ListedPrinterJson(printer));
  }
  // The program's version, so a page can tell which printgate it talks to.
  cJSON_AddStringToObject(root, "version", PG_VERSION);
  if (!listed) {
    // An empty list would say "no printers"; the spooler just didn't answer.
    cJSON_AddStringToObject(root, "error", "list-failed");
    cJSON_AddStringToObject(root, "message", "the spooler did not list its printers");
  }
  return root;
}
