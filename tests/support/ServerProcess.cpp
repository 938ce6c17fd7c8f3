#include "ServerProcess.h"

#include "Deadline.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace {

std::string Read(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Whether process `pid` holds the socket `inode` open.
bool HoldsSocket(pid_t pid, unsigned long inode) {
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    DIR* directory = opendir(folder.c_str());
    bool held = false;
    while (const dirent* entry = directory ? readdir(directory) : nullptr) {
        char link[256] = {};
        held = held || (readlink((folder + entry->d_name).c_str(), link, sizeof link - 1) > 0 &&
                        target == link);
    }
    if (directory != nullptr) {
        closedir(directory);
    }
    return held;
}

}  // namespace

ServerProcess::ServerProcess() : ServerProcess(Options{}) {}

ServerProcess::ServerProcess(Options options) {
    options.environment.emplace("XDG_DATA_HOME", data_home_.Path());
    Spawn(options);
    if (options.wait_for_port) {
        ReadPort();
    }
}

ServerProcess::~ServerProcess() {
    if (!exit_code_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

void ServerProcess::Spawn(const Options& options) {
    // The parent's environment with the overrides applied.
    std::vector<std::string> texts;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (options.environment.count(text.substr(0, text.find('='))) == 0) {
            texts.push_back(text);
        }
    }
    for (const auto& [name, value] : options.environment) {
        if (!value.empty()) {
            texts.push_back(name + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (auto& text : texts) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    const int stderr_fd =
        open((scratch_.Path() + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(stderr_fd, STDERR_FILENO);
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        char* argv[] = {const_cast<char*>(GCODE_API_SERVER_PATH), nullptr};
        execve(GCODE_API_SERVER_PATH, argv, envp.data());
        _exit(127);
    }
    close(stderr_fd);
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
}

std::string ServerProcess::PortFilePath() const {
    return data_home_.Path() + "/Tavik/gcode_api_server/port.txt";
}

void ServerProcess::ReadPort() {
    std::string text;
    if (!WaitFor([&] {
            text = Read(PortFilePath());
            return !text.empty();
        })) {
        throw std::runtime_error("the server wrote no port file; stderr: " + Stderr());
    }
    port_ = static_cast<unsigned short>(std::stoul(text));
}

bool ServerProcess::IsRunning() {
    if (exit_code_) {
        return false;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        peak_resident_kib_ = usage.ru_maxrss;
        return false;
    }
    return true;
}

long ServerProcess::PeakResidentKib() {
    if (!IsRunning()) {
        return peak_resident_kib_;
    }
    // The high-water mark the kernel keeps; the process may end meanwhile.
    const std::string status = Read("/proc/" + std::to_string(pid_) + "/status");
    const std::size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

void ServerProcess::Signal(int signal) const {
    if (!exit_code_ && pid_ > 0) {
        kill(pid_, signal);
    }
}

std::optional<int> ServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
    WaitFor([this] { return !IsRunning(); }, timeout);
    return exit_code_;
}

std::string ServerProcess::Stderr() const {
    return Read(scratch_.Path() + "/stderr.txt");
}

bool ServerProcess::WaitForStderr(const std::string& text,
                                  std::chrono::milliseconds timeout) const {
    return WaitFor([&] { return Stderr().find(text) != std::string::npos; }, timeout);
}

unsigned short ServerProcess::ListeningPort() const {
    // A listening socket (state 0A) in the system's table whose inode is one
    // of the sockets the process holds open.
    unsigned short port = 0;
    WaitFor([&] {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        while (std::getline(table, line)) {
            unsigned int local = 0, state = 0;
            unsigned long inode = 0;
            if (std::sscanf(line.c_str(), "%*d: %*x:%x %*x:%*x %x %*s %*s %*s %*s %*s %lu", &local,
                            &state, &inode) == 3 &&
                state == 0x0A && HoldsSocket(pid_, inode)) {
                port = static_cast<unsigned short>(local);
                return true;
            }
        }
        return false;
    });
    return port;
}
