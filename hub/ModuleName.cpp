#include "hub/ModuleName.h"

#include <cstdio>
#include <cstring>

std::string ModuleName::printable(const std::string &name)
{
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool ModuleName::isPlain(const std::string &name)
{
    if (name.empty() || name[0] == '-') {
        return false;
    }
    for (unsigned char c : name) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          strchr("._+-/:@%,=", c) != nullptr;
        if (!safe || c == '\0') {
            return false;
        }
    }
    return true;
}

std::string ModuleName::killCommand(const std::string &name)
{
    if (name.find('\0') != std::string::npos) {
        return std::string();
    }
    if (isPlain(name)) {
        return "killall -9 " + name + " &";
    }
    std::string quoted = "'";
    for (char c : name) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return "killall -9 -- " + quoted + " &";
}
