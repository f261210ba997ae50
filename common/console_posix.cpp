// POSIX backend of the standard output seam.
#include "common/console.h"

#include <unistd.h>

#include <cstdio>

bool StandardOutputIsTerminal() { return isatty(fileno(stdout)) == 1; }
