// TraceOut: printerwatch's single diagnostic hook. In the service it discards
// everything; tests install a sink to read the formatted texts.
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
