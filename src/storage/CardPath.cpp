#include "storage/CardPath.h"

#include "platform/BoardPath.h"

std::string CardPath(std::string_view path) {
    const std::string root = diviv::BoardRoot();
    if (!root.empty() && path.size() > root.size() && path.substr(0, root.size()) == root &&
        path[root.size()] == '/')
        return std::string(path);
    return BoardPath(path);
}
