// Bench tool: holds a file open with no sharing at all, as an editor or a
// backup program may, until its standard input ends. Prints "locked" once
// it holds the file. Usage: file_lock <path>
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: file_lock <path>\n");
    return 2;
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot lock %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  std::printf("locked\n");
  std::fflush(stdout);
  char byte;
  while (std::fread(&byte, 1, 1, stdin) == 1) {
  }
  CloseHandle(file);
  return 0;
}
