#include "hub/ModuleName.h"

#include <cstdio>
#include <cstring>

#include "trace/PrintableText.h"

std::string ModuleName::printable(const std::string &name)
{
    return PrintableText::escape(name);
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
    std::string command = "killall -9 -- " + quoted + " &";
    if (command.size() > kMaxCommandSize) {
        return std::string();
    }
    return command;
}
