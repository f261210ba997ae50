// The Win32 error codes that portable code, the non-Windows backends and the
// fakes hand back, under one name each. The values are Windows' own
// (winerror.h), so a code logged or compared on Linux means what it means
// on a desk.
#pragma once
#include <cstdint>

constexpr uint32_t kErrorFileNotFound = 2;          // ERROR_FILE_NOT_FOUND
constexpr uint32_t kErrorAccessDenied = 5;          // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorNotEnoughMemory = 8;       // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrorInvalidParameter = 87;     // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrorInsufficientBuffer = 122;  // ERROR_INSUFFICIENT_BUFFER
constexpr uint32_t kErrorInvalidName = 123;         // ERROR_INVALID_NAME
constexpr uint32_t kErrorMoreData = 234;            // ERROR_MORE_DATA
constexpr uint32_t kErrorTimeout = 1460;            // ERROR_TIMEOUT
constexpr uint32_t kErrorServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE
constexpr uint32_t kErrorUnknownPort = 1796;        // ERROR_UNKNOWN_PORT
constexpr uint32_t kErrorUnknownDriver = 1797;      // ERROR_UNKNOWN_PRINTER_DRIVER
constexpr uint32_t kErrorInvalidPrinterName = 1801; // ERROR_INVALID_PRINTER_NAME
constexpr uint32_t kErrorPrinterExists = 1802;      // ERROR_PRINTER_ALREADY_EXISTS
