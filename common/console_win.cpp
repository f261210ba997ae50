// Win32 backend of the standard output seam: the C runtime's view of its
// own standard output (a GUI program started without one has none).
#include "common/console.h"

#include <io.h>

#include <cstdio>

bool StandardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
