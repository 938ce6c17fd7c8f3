#include "LocalDataFolder.h"

#include <cstdlib>

namespace {

std::optional<std::string> Variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

std::optional<std::string> LocalDataFolder() {
    if (auto xdg = Variable("XDG_DATA_HOME"); xdg && xdg->front() == '/') {
        return WithoutTrailingSlash(*xdg);
    }
    if (auto home = Variable("HOME"); home && home->front() == '/') {
        return WithoutTrailingSlash(*home) + "/.local/share";
    }
    return std::nullopt;
}
