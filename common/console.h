// Platform seam for standard output: whether a person is watching it.
//
// Backends (one per target):
// - console_win.cpp: the C runtime's _isatty (Windows);
// - console_posix.cpp: isatty (Linux, macOS).
#pragma once

// True when standard output is a terminal (a console window on Windows);
// false for a pipe, a file, the null device or no standard output at all.
// Does not block.
bool StandardOutputIsTerminal();
