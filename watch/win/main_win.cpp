// printerwatch's process entry: the SCM starts it; its arguments mean nothing.
#include <windows.h>

#include "watch/service.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  MyMain();
  return 0;
}
