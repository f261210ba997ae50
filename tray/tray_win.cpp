// printgate's entry and tray shell: the hidden window that receives the
// icon's events, the icon itself, the server thread and the message loop.
// What each message means is decided in tray_logic.cpp.
// The server header brings in winsock2.h, which must come before windows.h.
#include "api/api_server.h"
#include "base/log_io.h"
#include "common/console.h"
#include "common/diag.h"
#include "pg_version.h"
#include "tray/tray_logic.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <thread>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the tip is copied as UTF-16");

namespace {
HINSTANCE appInstance = nullptr;
HWND trayWindow = nullptr;
UINT taskbarCreatedMessage = 0;

void OpenTrayMenu(HWND window) {
  HMENU menu = LoadMenuW(appInstance, MAKEINTRESOURCEW(IDR_TRAY_MENU));
  if (menu == nullptr) return;
  HMENU popup = GetSubMenu(menu, 0);
  if (popup != nullptr) {
    POINT pt;
    GetCursorPos(&pt);
    // Without the foreground the menu would not close on a click elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(popup, TPM_LEFTBUTTON, pt.x, pt.y, 0, window, nullptr);
  }
  DestroyMenu(menu);
}
}  // namespace

void AddTrayIcon() {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = kTrayRecordSize;
  nid.hWnd = trayWindow;
  nid.uID = kTrayIconId;
  nid.uFlags = kTrayIconFlags;
  nid.uCallbackMessage = kTrayCallbackMessage;
  nid.hIcon = LoadIconW(appInstance, MAKEINTRESOURCEW(IDI_TRAY_ICON));
  CopyTrayTip(reinterpret_cast<char16_t*>(nid.szTip), kTrayTipUnits);
  Shell_NotifyIconW(NIM_ADD, &nid);
}

void RemoveTrayIcon() {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = kTrayRecordSize;
  nid.hWnd = trayWindow;
  nid.uID = kTrayIconId;
  Shell_NotifyIconW(NIM_DELETE, &nid);
}

LRESULT CALLBACK TrayWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // A session that ends may end the process after this message without
  // its exit handlers: the lines still gathered leave now.
  if (message == WM_ENDSESSION && wParam) DiagFlush();
  switch (DecideTrayStep(message, wParam, lParam, taskbarCreatedMessage)) {
    case kTrayStepOpenMenu:
      OpenTrayMenu(window);
      break;
    case kTrayStepDestroy:
      DestroyWindow(window);
      break;
    case kTrayStepRemoveAndQuit:
      RemoveTrayIcon();
      PostQuitMessage(0);
      break;
    case kTrayStepAddIcon:
      AddTrayIcon();
      break;
    case kTrayStepNothing:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  appInstance = instance;
  // Registered before the window exists, so a shell restart is never missed.
  taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");

  WNDCLASSW wndClass = {};
  wndClass.lpfnWndProc = TrayWndProc;
  wndClass.hInstance = instance;
  wndClass.lpszClassName = L"TrayWndClass";
  RegisterClassW(&wndClass);

  trayWindow = CreateWindowExW(0, L"TrayWndClass", nullptr, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                               kTrayWindowWidth, kTrayWindowHeight, nullptr, nullptr, instance, nullptr);
  AddTrayIcon();

  // Nobody sees standard output here: the lines go to a file as well.
  DiagOpenLogFile(PrintgateLogPath(LogIoUserDataFolder()));
  if (!StandardOutputIsTerminal()) DiagWriteInBatches();
  DiagLogOnly("printgate " PG_VERSION " started");
  std::thread newThread(RunApiServer);
  newThread.detach();

  MSG msg = {};
  // GetMessageW gives -1 on failure; looping on it would spin for ever.
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DiagFlush();
  return static_cast<int>(msg.wParam);
}
