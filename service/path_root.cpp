#include "service/path_root.h"

namespace kov {
namespace {
std::string& root() {
    static std::string r;
    return r;
}
}  // namespace

void SetPathRoot(const std::string& dir) {
    std::string r = dir;
    while (!r.empty() && r.back() == '/') r.pop_back();
    root() = r;
}

const std::string& PathRoot() { return root(); }

std::string RootedPath(const std::string& abs) { return root() + abs; }

}  // namespace kov
