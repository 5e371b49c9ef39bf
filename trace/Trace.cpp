#include "trace/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

int traceLevel = TRACE_INFO;
std::string traceName;

namespace {

const char *const kTags[] = {
    "\033[1;31m[FATEL ]",    "\033[0;35m[ALERT ]",    "\033[0;32;31m[ERROR ]", "\033[1;33m[ WARM ]",
    "\033[0;32;34m[NOTICE]", "\033[0;32;32m[ INFO ]", "\033[0;36m[DEBUG ]",
};

const char kRule[] = "*****************************";

// Shared level check: an out-of-range level is reported whatever the threshold.
bool passes(int level)
{
    if (static_cast<unsigned>(level) > 6u) {
        printf("tm printf input err level %d\n", level);
        return false;
    }
    return level <= traceLevel;
}

// "%D %H:%M:%S" plus milliseconds, e.g. "12/08/26 00:20:16.042". The
// calendar part is made once a second: at debug level the hub traces
// several lines per frame, and localtime_r and strftime cost more than the
// line itself. Per thread, as a module's threads may trace too; a zone set
// anew with tzset() shows at once.
void formatTimestamp(char *out, size_t size)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    thread_local time_t madeFor = -1;
    thread_local long madeInZone = 0;
    thread_local char clock[32];
    if (ts.tv_sec != madeFor || timezone != madeInZone) {
        const time_t seconds = ts.tv_sec;
        struct tm local;
        if (localtime_r(&seconds, &local) == nullptr || strftime(clock, sizeof clock, "%D %H:%M:%S", &local) == 0) {
            clock[0] = '\0';
        }
        madeFor = ts.tv_sec;
        madeInZone = timezone;
    }
    snprintf(out, size, "%s.%03u", clock, static_cast<unsigned>(ts.tv_nsec / 1000000) % 1000u);
}

void dumpBytes(const void *data, int size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (int i = 0; i < size; ++i) {
        printf("%02x ", bytes[i]);
        if ((i + 1) % 10 == 0) {
            putchar('\n');
        }
    }
    printf(" size = %d\n%s\n\033[m", size, kRule);
}

} // namespace

int tm_set_level(int level)
{
    traceLevel = level;
    return 0;
}

int tm_set_name(const std::string &name)
{
    traceName = name;
    return 0;
}

int tm_printf(int level, const char *func, int line, const char *format, ...)
{
    if (!passes(level)) {
        return 0;
    }
    char stamp[48];
    formatTimestamp(stamp, sizeof stamp);
    printf("%s:%-8s: #[%s]: %s\t[%4d]: ", stamp, kTags[level], traceName.c_str(), func, line);
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fputs("\033[m", stdout);
    return 0;
}

int tm_printf_raw(int level, const char *format, ...)
{
    if (!passes(level)) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    return 0;
}

int tm_dump(const void *data, int size, int line, const char *func)
{
    printf("\033[0;32;32min %s:[%d]:\n%s\n", func, line, kRule);
    dumpBytes(data, size);
    return 0;
}

int debug_print(const void *data, int size)
{
    puts("\033[0;32;32min debug_print:\n*****************************");
    dumpBytes(data, size);
    return 0;
}
