// Bench tool: drives printerwatch's real device-read backend against a named
// pipe standing in for a printer (Wine has no USB printers): one read the
// other end never answers, which must come back as a time-out, and one it
// answers with five bytes. Prints one line per read.
#include <windows.h>

#include <cstdio>

#include "watch/usb.h"

static const char kPipe[] = "\\\\.\\pipe\\printerwatch_read_probe";

int main() {
  HANDLE server = CreateNamedPipeA(kPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 512, 512, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) {
    std::printf("CreateNamedPipe error=%lu\n", GetLastError());
    return 1;
  }
  uint32_t error = 0;
  UsbPort port = UsbOpenPort(kPipe, &error);
  if (port == nullptr) {
    std::printf("UsbOpenPort error=%u\n", error);
    return 1;
  }
  unsigned char buffer[256] = {};
  uint32_t count = 0;
  DWORD started = GetTickCount();
  UsbReadResult silent = UsbReadPort(port, buffer, 255, 1500, &count, &error);
  std::printf("silent result=%d count=%u elapsed_ms=%lu\n", static_cast<int>(silent), count, GetTickCount() - started);

  const unsigned char block[] = {8, 1, 2, 3, 4};
  DWORD written = 0;
  WriteFile(server, block, sizeof block, &written, nullptr);
  started = GetTickCount();
  UsbReadResult answered = UsbReadPort(port, buffer, 255, 1500, &count, &error);
  std::printf("answered result=%d count=%u first=%d elapsed_ms=%lu\n", static_cast<int>(answered), count, buffer[0],
              GetTickCount() - started);
  std::fflush(stdout);
  UsbClosePort(port);
  CloseHandle(server);
  return 0;
}
