// Bench tool: finds printgate's hidden tray windows, sends them what the
// notification area would send, asks the shell about their icons, and reads
// the tray resources back from a compiled .exe. One command per call; the
// answers are "key=value" lines on standard output.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {
const UINT kIconId = 1000;
const UINT kMenuGetHmenu = 0x01E1;  // MN_GETHMENU

std::string Hex16(const wchar_t* text, int length) {
  std::string out;
  char unit[8];
  for (int i = 0; i < length; ++i) {
    std::snprintf(unit, sizeof(unit), "%s%04x", i ? " " : "", static_cast<unsigned>(text[i]));
    out += unit;
  }
  return out;
}

HWND ParseWindow(const wchar_t* text) { return reinterpret_cast<HWND>(std::wcstoull(text, nullptr, 0)); }

bool ClassIs(HWND window, const wchar_t* name) {
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  return std::wcscmp(className, name) == 0;
}

// Two round trips: the first may be handled before the posted message is
// taken from the queue, the second only after it has been dispatched (or
// while the modal loop it started is running).
bool Sync(HWND window) {
  DWORD_PTR result = 0;
  for (int i = 0; i < 2; ++i) {
    if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &result)) return false;
  }
  return true;
}

BOOL CALLBACK ListTrayWindow(HWND window, LPARAM) {
  if (!ClassIs(window, L"TrayWndClass")) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  RECT rect = {};
  GetWindowRect(window, &rect);
  wchar_t title[64] = {};
  int titleLength = GetWindowTextW(window, title, 64);
  std::printf("window=%#llx pid=%lu visible=%d style=%#lx exstyle=%#lx width=%ld height=%ld title_length=%d\n",
              static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), pid,
              IsWindowVisible(window) ? 1 : 0, static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)),
              static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)), rect.right - rect.left,
              rect.bottom - rect.top, titleLength);
  return TRUE;
}

BOOL CALLBACK ListVisibleWindow(HWND window, LPARAM) {
  if (!IsWindowVisible(window)) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  RECT rect = {};
  GetWindowRect(window, &rect);
  std::printf("visible=%#llx pid=%lu class=%ls x=%ld y=%ld width=%ld height=%ld\n",
              static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), pid, className, rect.left,
              rect.top, rect.right - rect.left, rect.bottom - rect.top);
  if (ClassIs(window, L"#32768")) {
    // Menus are desktop objects on Windows; a copy of Wine may not hand out
    // another process's menu, which then shows as items=-1.
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(window, kMenuGetHmenu, 0, 0));
    int count = menu ? GetMenuItemCount(menu) : -1;
    std::printf("menu=%#llx items=%d\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(menu)), count);
    for (int i = 0; i < count; ++i) {
      wchar_t text[128] = {};
      int length = GetMenuStringW(menu, i, text, 128, MF_BYPOSITION);
      std::printf("item=%u text=%s\n", GetMenuItemID(menu, i), Hex16(text, length).c_str());
    }
  }
  return TRUE;
}

NOTIFYICONDATAW IconRecord(HWND window) {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = sizeof(nid);
  nid.hWnd = window;
  nid.uID = kIconId;
  return nid;
}

int Resources(const wchar_t* path) {
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) {
    std::printf("load_error=%lu\n", GetLastError());
    return 1;
  }
  HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(109));
  std::printf("menu_loaded=%d\n", menu ? 1 : 0);
  if (menu) {
    int popups = GetMenuItemCount(menu);
    std::printf("top_items=%d\n", popups);
    for (int i = 0; i < popups; ++i) {
      wchar_t text[128] = {};
      int length = GetMenuStringW(menu, i, text, 128, MF_BYPOSITION);
      HMENU popup = GetSubMenu(menu, i);
      int items = popup ? GetMenuItemCount(popup) : -1;
      std::printf("popup=%d text=%s items=%d\n", i, Hex16(text, length).c_str(), items);
      for (int j = 0; j < items; ++j) {
        wchar_t itemText[128] = {};
        int itemLength = GetMenuStringW(popup, j, itemText, 128, MF_BYPOSITION);
        UINT state = GetMenuState(popup, j, MF_BYPOSITION);
        std::printf("item=%u text=%s state=%#x\n", GetMenuItemID(popup, j), Hex16(itemText, itemLength).c_str(),
                    state);
      }
    }
    DestroyMenu(menu);
  }
  HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(107), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  std::printf("icon_group=%d\n", group ? 1 : 0);
  if (group) {
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    DWORD size = SizeofResource(module, group);
    WORD count = size >= 6 ? *reinterpret_cast<const WORD*>(data + 4) : 0;
    for (WORD i = 0; i < count && 6u + 14u * (i + 1) <= size; ++i) {
      const BYTE* entry = data + 6 + 14 * i;
      int width = entry[0] ? entry[0] : 256;
      int height = entry[1] ? entry[1] : 256;
      WORD bits = *reinterpret_cast<const WORD*>(entry + 6);
      WORD id = *reinterpret_cast<const WORD*>(entry + 12);
      HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));  // RT_ICON
      // The image's own header, not only the directory, must say 32 bits.
      int headerBits = 0;
      int loads = 0;
      if (image) {
        BYTE* bytes = static_cast<BYTE*>(LockResource(LoadResource(module, image)));
        DWORD imageSize = SizeofResource(module, image);
        if (imageSize >= sizeof(BITMAPINFOHEADER)) headerBits = reinterpret_cast<BITMAPINFOHEADER*>(bytes)->biBitCount;
        HICON icon = CreateIconFromResourceEx(bytes, imageSize, TRUE, 0x00030000, width, height, 0);
        loads = icon ? 1 : 0;
        if (icon) DestroyIcon(icon);
      }
      std::printf("icon width=%d height=%d bits=%u image_bits=%d loads=%d\n", width, height, bits, headerBits, loads);
    }
  }
  return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    std::printf("usage: tray_probe list|visible|icon W|removeicon W|post W MSG WPARAM LPARAM|taskbarcreated W|"
                "resources EXE\n");
    return 2;
  }
  std::wstring command = argv[1];
  if (command == L"list") {
    EnumWindows(ListTrayWindow, 0);
    return 0;
  }
  if (command == L"visible") {
    EnumWindows(ListVisibleWindow, 0);
    return 0;
  }
  if (command == L"icon" && argc == 3) {
    // Changing nothing succeeds only for an icon the shell knows.
    NOTIFYICONDATAW nid = IconRecord(ParseWindow(argv[2]));
    std::printf("icon=%d\n", Shell_NotifyIconW(NIM_MODIFY, &nid) ? 1 : 0);
    return 0;
  }
  if (command == L"removeicon" && argc == 3) {
    NOTIFYICONDATAW nid = IconRecord(ParseWindow(argv[2]));
    std::printf("removed=%d\n", Shell_NotifyIconW(NIM_DELETE, &nid) ? 1 : 0);
    return 0;
  }
  if (command == L"post" && argc == 6) {
    HWND window = ParseWindow(argv[2]);
    BOOL posted = PostMessageW(window, static_cast<UINT>(std::wcstoul(argv[3], nullptr, 0)),
                               static_cast<WPARAM>(std::wcstoull(argv[4], nullptr, 0)),
                               static_cast<LPARAM>(std::wcstoll(argv[5], nullptr, 0)));
    std::printf("posted=%d\n", posted ? 1 : 0);
    std::printf("synced=%d\n", posted && Sync(window) ? 1 : 0);
    return 0;
  }
  if (command == L"taskbarcreated" && argc == 3) {
    // As the shell announces a restart: to every top-level window.
    UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    BOOL sent = message && SendNotifyMessageW(HWND_BROADCAST, message, 0, 0);
    std::printf("message=%#x sent=%d\n", message, sent ? 1 : 0);
    std::printf("synced=%d\n", sent && Sync(ParseWindow(argv[2])) ? 1 : 0);
    return 0;
  }
  if (command == L"resources" && argc == 3) return Resources(argv[2]);
  std::printf("unknown command\n");
  return 2;
}
