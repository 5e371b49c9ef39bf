#pragma once
// What the test programs learn from the scripts that run them.

#include <cstdlib>

// scripts/valgrind.sh sets PELLIX_UNDER_MEMCHECK for the programs it runs
// under memcheck. Memcheck keeps descriptors of its own beside the
// program's, emulates its descriptor limit and takes SIGSEGV for itself, so
// tests of exactly those process properties say so and skip there.
inline bool runsUnderMemcheck()
{
    const char *value = getenv("PELLIX_UNDER_MEMCHECK");
    return value != nullptr && *value != '\0' && *value != '0';
}

// scripts/cross-test.sh sets PELLIX_UNDER_EMULATION for the arm64 programs
// it runs under qemu-user, where the holder of a peer socket is not found
// (the lookup reads the kernel's socket diagnostics and /proc as the
// emulator presents them), so the tests of finding it skip.
inline bool runsUnderEmulation()
{
    const char *value = getenv("PELLIX_UNDER_EMULATION");
    return value != nullptr && *value != '\0' && *value != '0';
}
