#pragma once
// Fatal-signal handling: every caught signal is logged with a backtrace and
// ends the process with exit status 255.

// Installs onSignal for the signals 1 to 31 except SIGPIPE, SIGCHLD and
// SIGWINCH, which keep their inherited dispositions.
void installSignalHandlers();

// The handler: logs the signal and the call stack, flushes, exit(-1).
[[noreturn]] void onSignal(int sig);

// Logs up to 16 frames of the current call stack, one record each.
void dumpBacktrace();
