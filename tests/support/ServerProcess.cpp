#include "ServerProcess.h"

#include "Deadline.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char** environ;

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

    const std::string stderr_path = scratch_.Path() + "/stderr.txt";
    const int stderr_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(stderr_fd, STDERR_FILENO);
        const int null_fd = open("/dev/null", O_RDWR);
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
    const bool found = WaitFor([&] {
        std::ifstream file(PortFilePath());
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        return !text.empty();
    });
    if (!found) {
        throw std::runtime_error("the server wrote no port file; stderr: " + Stderr());
    }
    port_ = static_cast<unsigned short>(std::stoul(text));
}

bool ServerProcess::IsRunning() {
    if (exit_code_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return false;
    }
    return true;
}

std::optional<int> ServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
    WaitFor([this] { return !IsRunning(); }, timeout);
    return exit_code_;
}

std::string ServerProcess::Stderr() const {
    std::ifstream file(scratch_.Path() + "/stderr.txt");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool ServerProcess::WaitForStderr(const std::string& text,
                                  std::chrono::milliseconds timeout) const {
    return WaitFor([&] { return Stderr().find(text) != std::string::npos; }, timeout);
}

namespace {

// Inodes of the sockets that process `pid` holds open.
std::set<std::string> SocketInodes(pid_t pid) {
    std::set<std::string> inodes;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) {
        return inodes;
    }
    while (const dirent* entry = readdir(directory)) {
        char target[256] = {};
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        const std::string text(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (text.rfind("socket:[", 0) == 0) {
            inodes.insert(text.substr(8, text.size() - 9));
        }
    }
    closedir(directory);
    return inodes;
}

}  // namespace

unsigned short ServerProcess::ListeningPort() const {
    unsigned short port = 0;
    WaitFor([&] {
        const auto inodes = SocketInodes(pid_);
        std::ifstream table("/proc/net/tcp");
        std::string line;
        std::getline(table, line);  // header
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (state == "0A" && inodes.count(inode) != 0) {
                port = static_cast<unsigned short>(
                    std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
                return true;
            }
        }
        return false;
    });
    return port;
}
