#pragma once
// Helpers shared by the log set-up and signal tests: the line format of the
// log file and a listing of a directory.

#include <dirent.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

// "[YYYY-MM-DD HH:MM:SS:mmm] [Pellix] [tid: N] [level] "
inline const std::string &logPrefixPattern()
{
    static const std::string pattern = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\] \[Pellix\] \[tid: \d+\] )";
    return pattern;
}

// True when `line` (without its newline) is a file record of `level` whose
// message is exactly `message`.
inline bool isLogLine(const std::string &line, const std::string &level, const std::string &message)
{
    static const std::regex head(logPrefixPattern() + R"(\[([a-z]+)\] )");
    if (line.size() < message.size() ||
        line.compare(line.size() - message.size(), message.size(), message) != 0) {
        return false;
    }
    std::smatch m;
    const std::string prefix = line.substr(0, line.size() - message.size());
    return std::regex_match(prefix, m, head) && m[1] == level;
}

inline std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}
