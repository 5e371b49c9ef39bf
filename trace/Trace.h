#pragma once
// Levelled printf-style trace on standard output and hex dumps of traffic.
//
// Levels run from 0 (FATEL, most severe) to 6 (DEBUG). A call prints when its
// level is at most `traceLevel`. The trace never writes to the log file; it
// shares standard output with the logger's console sink.

#include <string>

enum TraceLevel {
    TRACE_FATEL = 0,
    TRACE_ALERT = 1,
    TRACE_ERROR = 2,
    TRACE_WARM = 3,
    TRACE_NOTICE = 4,
    TRACE_INFO = 5,
    TRACE_DEBUG = 6,
};

// Current threshold: 5 at load, set to 4 by main, changed at run time by the
// hub's debug-level command. Any integer is accepted.
extern int traceLevel;
// Process name shown in every line; empty until main sets it.
extern std::string traceName;

int tm_set_level(int level);
int tm_set_name(const std::string &name);

// True when a call at `level` would print. Lets a hot caller skip building
// arguments; tm_printf repeats the check itself.
inline bool tm_enabled(int level)
{
    return static_cast<unsigned>(level) <= 6u && level <= traceLevel;
}

int tm_printf(int level, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int tm_printf_raw(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Hex blocks: not filtered by level, switched by the hub's data-print flag.
int tm_dump(const void *data, int size, int line, const char *func);
int debug_print(const void *data, int size);
