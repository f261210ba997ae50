// The tray window's rules: which callback event opens the menu, which command
// quits, and when the icon has to be added again.
#include "tray/tray_logic.h"

const char16_t kTrayTip[] = u"VELQ打印服务";

size_t CopyTrayTip(char16_t* field, size_t fieldUnits) {
  if (fieldUnits == 0) return 0;
  size_t copied = 0;
  while (copied + 1 < fieldUnits && kTrayTip[copied] != 0) {
    field[copied] = kTrayTip[copied];
    ++copied;
  }
  field[copied] = 0;
  return copied;
}

namespace {
const uint32_t kMessageDestroy = 0x0002;
const uint32_t kMessageCommand = 0x0111;
const uint32_t kMessageLeftButtonDown = 0x0201;
}  // namespace

TrayStep DecideTrayStep(uint32_t message, uint64_t wParam, int64_t lParam, uint32_t taskbarCreated) {
  if (message == kMessageDestroy) return kTrayStepRemoveAndQuit;
  if (message == kMessageCommand) {
    // The high word tells menu from accelerator or control; any source of
    // the quit command quits.
    return (wParam & 0xFFFF) == IDM_TRAY_QUIT ? kTrayStepDestroy : kTrayStepNothing;
  }
  if (message == kTrayCallbackMessage) {
    // Without NIM_SETVERSION the shell sends the mouse message itself as the
    // second parameter. The first press of a double-click opens it too.
    return lParam == kMessageLeftButtonDown ? kTrayStepOpenMenu : kTrayStepNothing;
  }
  // A failed registration gives 0, which must not make every WM_NULL (0)
  // add the icon again.
  if (taskbarCreated != 0 && message == taskbarCreated) return kTrayStepAddIcon;
  return kTrayStepNothing;
}
