#pragma once
// Captures everything written to a standard stream (stdout or stderr),
// through stdio or straight to the descriptor, until text() is called.

#include <string>

class OutputCapture {
public:
    explicit OutputCapture(int fd);
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // Stops capturing (once) and returns what was written.
    std::string text();

private:
    void restore();

    int target;
    int saved = -1;
    std::string fileName;
    std::string captured;
};
