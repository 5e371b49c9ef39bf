#pragma once
// Splits captured standard output into the trace lines it contains, so that
// tests can check level, function and message of each line without caring
// about the time stamp. Text outside trace lines (tables, dumps) is kept in
// `other`.

#include <regex>
#include <string>
#include <vector>

#include "trace/Trace.h"

struct TraceLine {
    int level;
    std::string func;
    int line;
    std::string message; // the caller's formatted text, newline included
};

struct TraceOutput {
    std::vector<TraceLine> lines;
    std::string other;

    // Messages in order, for compact comparisons.
    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        for (const TraceLine &l : lines) {
            out.push_back(l.message);
        }
        return out;
    }

    // How many lines carry exactly this message.
    int count(const std::string &message) const
    {
        int n = 0;
        for (const TraceLine &l : lines) {
            n += l.message == message ? 1 : 0;
        }
        return n;
    }
};

inline int traceLevelOfTag(const std::string &tag)
{
    static const char *const tags[] = {
        "\033[1;31m[FATEL ]",    "\033[0;35m[ALERT ]",    "\033[0;32;31m[ERROR ]", "\033[1;33m[ WARM ]",
        "\033[0;32;34m[NOTICE]", "\033[0;32;32m[ INFO ]", "\033[0;36m[DEBUG ]",
    };
    for (int i = 0; i < 7; ++i) {
        if (tag == tags[i]) {
            return i;
        }
    }
    return -1;
}

inline TraceOutput parseTrace(const std::string &text)
{
    // time stamp ":" tag ": #[" name "]: " function "\t[" line "]: " message "\e[m"
    static const std::regex line(
        "\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}:(\x1b\\[[0-9;]+m\\[[ A-Z]{5,6}\\]): #\\[[^\\]]*\\]: "
        "([A-Za-z_0-9]+)\t\\[ *(-?\\d+)\\]: ([^\x1b]*)\x1b\\[m");
    TraceOutput out;
    std::string::const_iterator pos = text.begin();
    std::smatch m;
    while (std::regex_search(pos, text.end(), m, line)) {
        out.other.append(pos, m[0].first);
        out.lines.push_back(TraceLine{traceLevelOfTag(m[1].str()), m[2].str(), std::stoi(m[3].str()), m[4].str()});
        pos = m[0].second;
    }
    out.other.append(pos, text.end());
    return out;
}

// Raises the trace threshold for one test and puts the old one back.
class TraceLevelScope {
public:
    explicit TraceLevelScope(int level) : saved(traceLevel) { traceLevel = level; }
    ~TraceLevelScope() { traceLevel = saved; }
    TraceLevelScope(const TraceLevelScope &) = delete;
    TraceLevelScope &operator=(const TraceLevelScope &) = delete;

private:
    int saved;
};
