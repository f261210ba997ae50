// The tray window's decisions: which icon events open the menu, which
// commands quit, and when a lost icon is added again.
#include "tray/tray_logic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {
const uint32_t kDestroy = 0x0002;
const uint32_t kNull = 0x0000;
const uint32_t kClose = 0x0010;
const uint32_t kCommand = 0x0111;
const uint32_t kCallback = 0x0400;
const uint32_t kTaskbarCreated = 0xC0F3;  // any value RegisterWindowMessage hands out

TrayStep Callback(int64_t mouseMessage) { return DecideTrayStep(kCallback, kTrayIconId, mouseMessage, kTaskbarCreated); }
TrayStep Command(uint64_t wParam) { return DecideTrayStep(kCommand, wParam, 0, kTaskbarCreated); }
}  // namespace

TEST(TrayCallback, OnlyTheLeftButtonPressOpensTheMenu) {
  EXPECT_EQ(Callback(0x0201), kTrayStepOpenMenu);  // left button down
  // Up, double-click, right and middle buttons, movement: nothing.
  for (int64_t mouse : {0x0200, 0x0202, 0x0203, 0x0204, 0x0205, 0x0206, 0x0207, 0x0208, 0x0209}) {
    EXPECT_EQ(Callback(mouse), kTrayStepNothing) << std::hex << mouse;
  }
  // A left press sent to the window directly, not through the icon, is not
  // an icon event.
  EXPECT_EQ(DecideTrayStep(0x0201, 0, 0, kTaskbarCreated), kTrayStepNothing);
  EXPECT_EQ(DecideTrayStep(kCallback + 1, 0, 0x0201, kTaskbarCreated), kTrayStepNothing);
}

TEST(TrayCommand, TheQuitItemEndsTheProgramWhateverItsSource) {
  EXPECT_EQ(Command(IDM_TRAY_QUIT), kTrayStepDestroy);
  EXPECT_EQ(Command((1u << 16) | IDM_TRAY_QUIT), kTrayStepDestroy);  // from an accelerator
  EXPECT_EQ(Command((uint64_t{1} << 32) | IDM_TRAY_QUIT), kTrayStepDestroy);
  for (uint64_t other : {0u, 104u, 106u, 0x10000u + 104u, 0x0069u + 0x100u}) {
    EXPECT_EQ(Command(other), kTrayStepNothing) << other;
  }
}

TEST(TrayLifetime, DestroyRemovesTheIconAndQuitsWhileCloseIsLeftToDefaultProcessing) {
  EXPECT_EQ(DecideTrayStep(kDestroy, 0, 0, kTaskbarCreated), kTrayStepRemoveAndQuit);
  // Default processing of a close request destroys the window, which then
  // arrives here as WM_DESTROY: acting on the close as well would remove the
  // icon twice.
  EXPECT_EQ(DecideTrayStep(kClose, 0, 0, kTaskbarCreated), kTrayStepNothing);
}

TEST(TrayShellRestart, TheIconIsAddedAgainOnlyForTheRegisteredMessage) {
  EXPECT_EQ(DecideTrayStep(kTaskbarCreated, 0, 0, kTaskbarCreated), kTrayStepAddIcon);
  EXPECT_EQ(DecideTrayStep(kTaskbarCreated + 1, 0, 0, kTaskbarCreated), kTrayStepNothing);
  // Registration failed (0): the idle WM_NULL must not add icons.
  EXPECT_EQ(DecideTrayStep(kNull, 0, 0, 0), kTrayStepNothing);
  EXPECT_EQ(DecideTrayStep(kTaskbarCreated, 0, 0, 0), kTrayStepNothing);
}

TEST(TrayTip, IsTheServiceNameInUtf16AndFitsTheOriginalRecord) {
  const std::u16string expected = {u'V', u'E', u'L', u'Q', 0x6253, 0x5370, 0x670D, 0x52A1};
  EXPECT_EQ(std::u16string(kTrayTip), expected);
  // With the record size 956 a 64-bit shell reads the original layout, whose
  // tip holds 64 units with the terminator.
  EXPECT_EQ(kTrayTipUnits, 64u);
  EXPECT_LT(std::u16string(kTrayTip).size(), kTrayTipUnits);
  // The record as sent: the whole tip and its terminator inside that field,
  // nothing written past it.
  char16_t record[128];
  std::fill(record, record + 128, u'#');
  size_t copied = CopyTrayTip(record, kTrayTipUnits);
  EXPECT_EQ(std::u16string(record, copied), expected);
  EXPECT_EQ(record[copied], 0);
  EXPECT_EQ(std::u16string(record + kTrayTipUnits, 128 - kTrayTipUnits),
            std::u16string(128 - kTrayTipUnits, u'#'));
  // A field too small for the tip holds what fits, terminated.
  std::fill(record, record + 128, u'#');
  EXPECT_EQ(CopyTrayTip(record, 5), 4u);
  EXPECT_EQ(std::u16string(record, 5), std::u16string(u"VELQ") + u'\0');
  EXPECT_EQ(record[5], u'#');
}
