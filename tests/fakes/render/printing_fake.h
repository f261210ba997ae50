// Controls and records of the in-memory printing backend, for tests.
#pragma once
#include <string>
#include <vector>

#include "render/printing.h"

// What the fake machine does differently from one with a default printer
// where every call works; ResetFakePrinting restores these defaults.
struct FakePrintingFaults {
  bool noDefaultPrinter = false;  // the silent default-printer call fails
  bool dialogCancelled = false;   // the modal dialog fails (the user cancels)
  // CreateDCW fails for every name with this code (0: it works for any name
  // but those below, which fail with 1801, invalid printer name).
  unsigned long createDcError = 0;
  std::vector<std::wstring> unknownPrinters;
  bool lockFails = false;
  int startDocResult = 1;  // StartDocW's result (> 0 works) ...
  unsigned long startDocError = 0;  // ... and its error code
  int startPageResult = 1;
  bool drawFails = false;
  int endPageResult = 1;
  int endDocResult = 1;
  unsigned long initialFields = 0;  // dmFields of the record the dialog returns
  // Milliseconds each dialog call takes: the job's first step, between the
  // endpoint's file write and the image load, so tests can widen races.
  int dialogDelayMs = 0;
};

// Everything back to a machine with a default printer where every call works.
void ResetFakePrinting();
void SetFakePrintingFaults(const FakePrintingFaults& faults);

// One entry per call, in order, e.g. "CreateDC VELQ", "StartDoc velq label".
std::vector<std::string> FakePrintCalls();
// Handles obtained and not yet released, and locks not yet undone.
int FakeLiveHandles();
int FakeLockCount();
// The record as last stored, after the job OR-ed its fields in.
struct FakeDevMode {
  unsigned long fields;
  short orientation;
  short paperSize;
  short paperLength;
  short paperWidth;
  short copies;
};
FakeDevMode FakeStoredSettings();
// Bytes of each image drawn, in order (the file's content at load time).
std::vector<std::string> FakeDrawnImages();

// The fake reads image files from the fake temporary file backend (or takes
// them from memory) and knows one format: PNG, whose size it takes from the
// IHDR chunk.
