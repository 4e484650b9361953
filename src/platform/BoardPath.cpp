#include "platform/BoardPath.h"

#include <cstdlib>
#include <cstring>

namespace diviv {

std::string BoardRoot() {
    const char* root = std::getenv("DIVIV_ROOT");
    if (root == nullptr) return {};
    std::string r(root);
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r;
}

}  // namespace diviv

std::string BoardPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return std::string(path);
    return diviv::BoardRoot() + std::string(path);
}
