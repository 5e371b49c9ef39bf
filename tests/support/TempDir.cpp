#include "tests/support/TempDir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include <ftw.h>

TempDir::TempDir()
{
    char pattern[] = "/tmp/pellix-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root = pattern;
}

TempDir::~TempDir()
{
    nftw(
        root.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void TempDir::makeDirs(const std::string &relative) const
{
    std::string current = root;
    size_t pos = 0;
    while (pos <= relative.size()) {
        size_t next = relative.find('/', pos);
        if (next == std::string::npos) {
            next = relative.size();
        }
        if (next > pos) {
            current += "/" + relative.substr(pos, next - pos);
            mkdir(current.c_str(), 0755);
        }
        pos = next + 1;
    }
}

std::string TempDir::file(const std::string &relative) const
{
    const size_t slash = relative.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        makeDirs(relative.substr(0, slash));
    }
    return root + "/" + relative;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::set<std::string> listDir(const std::string &path)
{
    std::set<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.insert(name);
            }
        }
        closedir(d);
    }
    return names;
}
