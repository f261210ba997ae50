// GetPrinters: the printer queues a page may print to, optionally narrowed
// to local, online or supported printers.
#pragma once
#include <string>
#include <vector>

#include <httplib.h>

// The eight filter modes: onlySupported counts 1, onlyOnline 2, onlyLocal 4.
int FilterMode(bool onlyLocal, bool onlyOnline, bool onlySupported);

// The two names of the supported label printer, compared whole and
// case-sensitively: "VELQ" and "LX4 Label Printer".
bool IsSupportedPrinterName(const std::string& name);

// Whether a queue passes the test of a filter mode.
bool PrinterAccepted(int mode, const std::string& printName, unsigned attributes);

// The accepted queue names in spooler order; printerQty receives their
// number. A failed enumeration gives no names.
std::vector<std::string> ListPrinters(bool onlyLocal, bool onlyOnline, bool onlySupported,
                                      int* printerQty);

// Handler of POST "/vqapi/GetPrinters".
void HandleGetPrinters(const httplib::Request& req, httplib::Response& res);
