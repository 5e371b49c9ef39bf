#include "tests/support/OutputCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/TempDir.h"

OutputCapture::OutputCapture(int fd) : target(fd)
{
    char pattern[] = "/tmp/pellix-capture-XXXXXX";
    const int file = mkstemp(pattern);
    if (file < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    fileName = pattern;
    fflush(stdout);
    fflush(stderr);
    saved = dup(target);
    dup2(file, target);
    close(file);
}

OutputCapture::~OutputCapture()
{
    restore();
}

void OutputCapture::restore()
{
    if (saved < 0) {
        return;
    }
    fflush(stdout);
    fflush(stderr);
    dup2(saved, target);
    close(saved);
    saved = -1;
    captured = readFile(fileName);
    unlink(fileName.c_str());
}

std::string OutputCapture::text()
{
    restore();
    return captured;
}
