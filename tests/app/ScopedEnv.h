#pragma once
// Sets or clears one environment variable for the life of the object and puts
// the previous state back afterwards.

#include <cstdlib>
#include <string>

class ScopedEnv {
public:
    // value == nullptr clears the variable.
    ScopedEnv(const char *name, const char *value) : key(name)
    {
        const char *old = getenv(name);
        hadOld = old != nullptr;
        if (hadOld) {
            oldValue = old;
        }
        if (value == nullptr) {
            unsetenv(name);
        } else {
            setenv(name, value, 1);
        }
    }
    ~ScopedEnv()
    {
        if (hadOld) {
            setenv(key.c_str(), oldValue.c_str(), 1);
        } else {
            unsetenv(key.c_str());
        }
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string key;
    bool hadOld = false;
    std::string oldValue;
};
