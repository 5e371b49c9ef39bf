#pragma once
// A fresh directory under /tmp for one test, removed with everything in it.

#include <set>
#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return root; }
    // path() + "/" + relative, creating the parent directories of it.
    std::string file(const std::string &relative) const;
    void makeDirs(const std::string &relative) const;

private:
    std::string root;
};

// Whole-file helpers for test assertions.
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);
bool fileExists(const std::string &path);
// The names in a directory.
std::set<std::string> listDir(const std::string &path);
