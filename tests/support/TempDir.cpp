#include "TempDir.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <boost/filesystem.hpp>

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/gcode-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path_, ignored);
}

std::string TempDir::WriteFile(const std::string& name, const std::string& content) const {
    const std::string path = path_ + "/" + name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    return path;
}
