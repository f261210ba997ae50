// Controls and records of the in-memory printing backend, for tests.
#pragma once
#include <string>
#include <vector>

#include "render/printing.h"

// Everything back to a machine with a default printer where every call works.
void ResetFakePrinting();
// The silent default-printer call fails (no default printer); the modal
// dialog fails (the user cancels).
void SetFakeNoDefaultPrinter(bool none);
void SetFakeDialogCancelled(bool cancelled);
// CreateDCW fails for every name with this error code (0: it works for any
// name except those set unknown below).
void SetFakeCreateDcError(unsigned long error);
// Names for which CreateDCW fails with 1801 (invalid printer name).
void SetFakeUnknownPrinter(const std::wstring& name);
void SetFakeLockFails(bool fails);
// StartDocW returns this (> 0 works) with this error code.
void SetFakeStartDoc(int jobId, unsigned long error);
void SetFakeStartPageResult(int result);
// dmFields of the record the dialog returns.
void SetFakeInitialFields(unsigned long fields);
// Milliseconds each dialog call takes: the job's first step, between the
// endpoint's file write and the image load, so tests can widen races.
void SetFakeDialogDelay(int milliseconds);
// Drawing reports failure; EndPage and EndDoc return these.
void SetFakeDrawFails(bool fails);
void SetFakeEndResults(int endPage, int endDoc);

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
