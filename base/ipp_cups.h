// One IPP exchange with the CUPS scheduler, shared by both programs' CUPS
// code: the request goes over a borrowed scheduler connection, and one rule
// says whether the answer succeeded.
//
// Backend: ipp_cups.cpp (libcups) only. IppSend blocks for the exchange:
// as long as the scheduler takes to answer (libcups waits for it without a
// time limit of its own while the connection stays up), plus any wait for a
// free connection (base/scheduler_connection.h).
#pragma once
#include <cups/cups.h>

#include <string>

// An answer succeeded when its status is one of IPP's successful-ok codes,
// as libcups itself reads them.
inline bool IppSucceeded(ipp_status_t status) { return status <= IPP_STATUS_OK_CONFLICTING; }

// The printer URI the scheduler knows a local queue by
// ("ipp://localhost/printers/<queue>", the name percent-encoded). Empty when
// libcups cannot assemble it (a name too long for a URI).
std::string IppPrinterUri(const std::string& queue);

// Sends request (always freed) to resource, with the bytes of file as its
// document when file is not null. Returns the answer when it succeeded; the
// caller deletes it. Otherwise null, with *status the scheduler's status:
// IPP_STATUS_ERROR_SERVICE_UNAVAILABLE when no connection could be had,
// IPP_STATUS_ERROR_INTERNAL when libcups gave no answer yet reported OK.
ipp_t* IppSend(ipp_t* request, const char* resource, const char* file, ipp_status_t* status);
