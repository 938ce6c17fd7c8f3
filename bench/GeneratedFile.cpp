#include "GeneratedFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

GeneratedFile::GeneratedFile(long lines) {
    const std::string name = TemporaryPath();
    if (name.empty()) {
        return;
    }
    const char* generator = std::getenv("GEN_GCODE");
    const std::string command = std::string("python3 '") +
                                (generator ? generator : GEN_GCODE_DEFAULT) + "' --lines " +
                                std::to_string(lines) + " --out '" + name + "' >/dev/null";
    if (std::system(command.c_str()) != 0) {
        std::remove(name.c_str());
        return;
    }
    path_ = name;
    CountLines();
}

GeneratedFile::GeneratedFile(const std::string& line, long count) {
    const std::string name = TemporaryPath();
    if (name.empty()) {
        return;
    }
    std::ofstream file(name, std::ios::binary);
    for (long i = 0; i < count; ++i) {
        file << line << '\n';
    }
    file.close();
    if (!file) {
        std::remove(name.c_str());
        return;
    }
    path_ = name;
    physical_lines_ = count;
}

GeneratedFile::~GeneratedFile() {
    if (!path_.empty()) {
        std::remove(path_.c_str());
    }
}

long GeneratedFile::Bytes() const {
    struct stat status {};
    return path_.empty() || stat(path_.c_str(), &status) != 0 ? 0
                                                              : static_cast<long>(status.st_size);
}

const GeneratedFile& GeneratedFile::OfLines(long lines) {
    static std::map<long, GeneratedFile> files;
    auto found = files.find(lines);
    if (found == files.end()) {
        found = files.try_emplace(lines, lines).first;
    }
    return found->second;
}

std::string GeneratedFile::TemporaryPath() {
    char name[] = "/tmp/gcode_bench_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) {
        return "";
    }
    close(fd);
    return name;
}

void GeneratedFile::CountLines() {
    std::ifstream file(path_, std::ios::binary);
    physical_lines_ =
        std::count(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>(), '\n');
}
