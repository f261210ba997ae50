// What the tray window does with a message, decided without Win32 so that the
// rules can be tested natively. tray_win.cpp only carries the steps out.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tray/tray_resources.h"

// Values of the notification-area record. The size is the one the program
// has always sent; on x64 the shell takes it as the original record layout,
// whose fields (window, id, flags, callback, icon, 64-character tip) are all
// this icon uses.
const uint32_t kTrayRecordSize = 956;
const uint32_t kTrayIconId = 1000;
const uint32_t kTrayIconFlags = 7;  // message + icon + tip
const uint32_t kTrayCallbackMessage = 0x400;  // WM_USER
const int kTrayWindowWidth = 100;
const int kTrayWindowHeight = 100;

// The tooltip, as UTF-16 code units with a terminator.
extern const char16_t kTrayTip[];
// The tip's room in the original record layout that the shell reads for
// kTrayRecordSize, the terminator included.
const size_t kTrayTipUnits = 64;

// Copies the tooltip into a record's tip field of fieldUnits units: cut
// where it would not leave room for its terminator, which always follows.
// Nothing is written past the field. Returns the units of tip copied.
size_t CopyTrayTip(char16_t* field, size_t fieldUnits);

// What the window procedure does before default processing.
enum TrayStep {
  kTrayStepNothing,
  kTrayStepOpenMenu,      // show the menu's first popup at the cursor
  kTrayStepDestroy,       // destroy the tray window (ends the program)
  kTrayStepRemoveAndQuit, // remove the icon, post the quit message (0)
  kTrayStepAddIcon,       // the shell restarted: add the icon again
};

// taskbarCreated is the value RegisterWindowMessage gave for
// "TaskbarCreated", or 0 if registering failed.
TrayStep DecideTrayStep(uint32_t message, uint64_t wParam, int64_t lParam, uint32_t taskbarCreated);
