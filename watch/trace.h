// TraceOut: printerwatch's single diagnostic hook. In the service it discards
// everything unless an administrator turns tracing on (the texts then go to
// the service's log file); tests install a sink to read the formatted texts.
#pragma once

typedef void (*TraceSink)(const char* text);

// printf-style; formats only when a sink is installed.
void TraceOut(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Installs (or with null removes) the receiver of formatted traces.
void SetTraceSink(TraceSink sink);

// With `on`, every formatted trace is also appended to the log file
// (base/log_file.h), one line each: a text that doesn't end its line ends
// it, unless it starts with a blank (a piece of the line before it).
void SetTraceToLog(bool on);
