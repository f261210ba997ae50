// Test controls of the in-memory USB backend: the interfaces an enumeration
// returns (by member index) and what each device path answers to a read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum FakeUsbAnswer { FakeUsbAnswers, FakeUsbRefusesRead, FakeUsbSilent };

struct FakeUsbInterface {
  std::string path;          // as the platform would report it
  bool detailFails = false;  // its path request fails (ends the enumeration)
  bool openFails = false;    // CreateFileA of its path fails (error 5)
  FakeUsbAnswer answer = FakeUsbAnswers;
  std::vector<unsigned char> block;  // what a read returns (at most the read's size)
};

// What goes wrong besides the interfaces' own faults; FakeUsbReset clears it.
struct FakeUsbFaults {
  bool classFails = false;  // SetupDiGetClassDevsA fails (13): no interface set
  // Runs inside every read, on the reading thread, before the read answers.
  std::function<void(const std::string& path)> readHook;
};

void FakeUsbReset();
void FakeUsbSetInterfaces(const std::vector<FakeUsbInterface>& interfaces);
void FakeUsbSetFaults(const FakeUsbFaults& faults);
// Ports and interface sets open right now: both should be 0 between passes.
int FakeUsbOpenPorts();
int FakeUsbOpenSets();
// The time-out of the last read, in milliseconds.
uint32_t FakeUsbLastTimeout();

// A path of the family: vendor 8888, product 0026, interface 02.
std::string FakeUsbFamilyPath(int serial);
// An interface of the family that answers with a block starting with `code`.
FakeUsbInterface FakeUsbPrinter(int serial, unsigned char code);
