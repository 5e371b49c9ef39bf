#include "app/PellixPaths.h"

#include <cstdlib>

std::string PellixPaths::rooted(const char *path)
{
    const char *root = getenv("PELLIX_ROOT");
    if (root == nullptr || *root == '\0') {
        return path;
    }
    std::string result(root);
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    if (result == "/") {
        return path;
    }
    return result + path;
}

std::string PellixPaths::rootedOnce(const std::string &path)
{
    const std::string root = rooted("");
    if (root.empty() || path.compare(0, root.size() + 1, root + "/") == 0) {
        return path;
    }
    return path.empty() || path[0] != '/' ? root + "/" + path : root + path;
}
