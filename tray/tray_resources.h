// Identifiers shared by printgate.rc and the tray code. Plain #defines, so
// that windres's preprocessor and the C++ compiler read the same numbers.
#pragma once

#define IDI_TRAY_ICON 107
#define IDR_TRAY_MENU 109
#define IDM_TRAY_QUIT 105
