#include "app/SignalHandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/CLogManager.h"
#include "notify/SystemdNotifier.h"

namespace {

const int kMaxFrames = 16;

// Under AddressSanitizer fflush runs through an interceptor that first takes
// a lock of its own, which the interrupted call (a flush inside the log
// call) may hold while the stream's lock is still free: the test above
// cannot see it, so the lines still buffered are given up there rather than
// the process hung.
#if defined(__SANITIZE_ADDRESS__)
const bool kStreamCallsIntercepted = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kStreamCallsIntercepted = true;
#else
const bool kStreamCallsIntercepted = false;
#endif
#else
const bool kStreamCallsIntercepted = false;
#endif

// Set when onSignal is entered; never cleared, since the handler ends the
// process.
volatile sig_atomic_t handlingSignal = 0;

// Offset of local time from UTC, taken when the handlers are installed, so
// that the fallback writer below can stamp its lines without localtime().
long utcOffsetSeconds = 0;

// A tiny append-only text buffer on the stack for the fallback writer.
struct LineBuffer {
    char text[512];
    size_t used = 0;

    void add(const char *s, size_t n)
    {
        if (n > sizeof text - used) {
            n = sizeof text - used;
        }
        memcpy(text + used, s, n);
        used += n;
    }
    void add(const char *s) { add(s, strlen(s)); }
    void addNumber(long value, int width)
    {
        char digits[24];
        int n = 0;
        bool negative = value < 0;
        unsigned long v = negative ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0 && n < 20);
        while (n < width) {
            digits[n++] = '0';
        }
        if (negative) {
            add("-", 1);
        }
        while (n > 0) {
            add(&digits[--n], 1);
        }
    }
};

// Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
void civilFromDays(long z, long &year, unsigned &month, unsigned &day)
{
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<long>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

// The file pattern of the logger, "[%Y-%m-%d %H:%M:%S:%e] [%n] [tid: %t] [%l] ",
// built with async-signal-safe calls only.
void addRecordPrefix(LineBuffer &line)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long local = static_cast<long>(now.tv_sec) + utcOffsetSeconds;
    long days = local / 86400;
    long secs = local % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    long year;
    unsigned month, day;
    civilFromDays(days, year, month, day);
    line.add("[");
    line.addNumber(year, 4);
    line.add("-");
    line.addNumber(month, 2);
    line.add("-");
    line.addNumber(day, 2);
    line.add(" ");
    line.addNumber(secs / 3600, 2);
    line.add(":");
    line.addNumber(secs / 60 % 60, 2);
    line.add(":");
    line.addNumber(secs % 60, 2);
    line.add(":");
    line.addNumber(now.tv_nsec / 1000000, 3);
    line.add("] [");
    line.add(CLogManager::kLoggerName);
    line.add("] [tid: ");
    line.addNumber(static_cast<long>(syscall(SYS_gettid)), 0);
    line.add("] [error] ");
}

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Used when the signal interrupted a log call or a stream call: the library
// or the stream may hold a lock that this thread would wait for forever, so
// the same records go straight to the log file and to standard output with
// write(2). The signal's record goes out before the stack is walked, so that
// a walk that faults loses only the frames.
void writeRecordsDirectly(int sig)
{
    int fds[2] = {STDOUT_FILENO, -1};
    const char *path = CLogManager::logFilePath();
    if (path[0] == '\0') {
        return; // no logger was set up: the records are skipped
    }
    // O_CREAT: the interrupted call may be a rotation that has renamed the
    // file and not yet opened the new one.
    fds[1] = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    for (int fd : fds) {
        if (fd < 0) {
            continue;
        }
        LineBuffer line;
        addRecordPrefix(line);
        line.add("Pellix get signal ( signal : ");
        line.addNumber(sig, 0);
        line.add(" )\n");
        writeAll(fd, line.text, line.used);
    }
    void *frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    for (int fd : fds) {
        if (fd < 0) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            LineBuffer prefix;
            addRecordPrefix(prefix);
            writeAll(fd, prefix.text, prefix.used);
            backtrace_symbols_fd(&frames[i], 1, fd); // the frame's text and "\n"
            writeAll(fd, "\n", 1);
        }
    }
    if (fds[1] >= 0) {
        close(fds[1]);
    }
}

// The signals a fault of the running code raises.
sigset_t faultSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS}) {
        sigaddset(&set, sig);
    }
    return set;
}

} // namespace

void installSignalHandlers()
{
    // backtrace() loads its unwinder on first use, which may allocate: do it
    // now rather than inside the handler.
    void *warmUp[2];
    backtrace(warmUp, 2);
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
        utcOffsetSeconds = local.tm_gmtoff;
    }

    // Every other signal stays blocked while the handler runs: a supervisor
    // often sends SIGTERM and SIGCONT back to back, and the record must name
    // the first one. Those left pending die with the process.
    // The handler unblocks the faults again on entry.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig = 1; sig <= 31; ++sig) {
        if (sig == SIGPIPE || sig == SIGCHLD || sig == SIGWINCH) {
            continue;
        }
        sigaction(sig, &action, nullptr); // SIGKILL and SIGSTOP are refused; that is fine
    }
}

void dumpBacktrace()
{
    void *frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    char **symbols = backtrace_symbols(frames, count);
    if (symbols == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        CLogManager::log(spdlog::level::err, "{}\n", symbols[i]);
    }
    free(symbols);
}

void onSignal(int sig)
{
    // Re-entered on a fault inside the handler, or when another signal lands
    // while it holds a lock of the logging library or while exit() below runs
    // the static destructors (the library's registry among them). The process
    // is already ending with 255, so end it at once.
    if (handlingSignal) {
        _exit(-1);
    }
    handlingSignal = 1;
    // Under a service manager the end is announced first: a fault below may
    // leave no time for it.
    SystemdNotifier::sendStoppingFromSignal();

    // A fault inside the handler itself (the unwinder following a corrupt
    // stack, say) must re-enter it rather than be blocked: a blocked fault
    // kills the process by that signal. (SA_NODEFER and a mask without the
    // faults would do it too, but memcheck then drops the whole mask.)
    const sigset_t faults = faultSignals();
    sigprocmask(SIG_UNBLOCK, &faults, nullptr);

    // The interrupted code may hold a lock that the library path would wait
    // for forever: one of the library's mutexes during a log call, or the
    // lock of stdout or stderr (a trace line, perror, the console sink),
    // which the console sink and the stream flushes of exit() take. The
    // stream locks are recursive, but a call interrupted while it takes or
    // releases one leaves it held with no owner, and then the try fails.
    // Locks taken here are kept until the process ends.
    const bool stdoutFree = ftrylockfile(stdout) == 0;
    const bool stderrFree = ftrylockfile(stderr) == 0;
    if (CLogManager::logCallInProgress() || !stdoutFree || !stderrFree) {
        if (stdoutFree && !kStreamCallsIntercepted) {
            fflush(stdout); // trace lines written before the signal come first
        }
        writeRecordsDirectly(sig);
        // exit() would flush the streams and run the library's destructors,
        // which may wait for the same locks.
        _exit(-1);
    }
    CLogManager::log(spdlog::level::err, "Pellix get signal ( signal : {} )", sig);
    dumpBacktrace();
    CLogManager::flush();
    exit(-1);
}
