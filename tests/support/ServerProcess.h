// The real gcode_api_server binary, started for one test with its own
// per-user data folder and its standard error captured.
#pragma once

#include "TempDir.h"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>

class ServerProcess {
  public:
    struct Options {
        // Environment overrides; an empty value unsets the variable.
        std::map<std::string, std::string> environment;
        // Wait for the port file before returning from the constructor.
        bool wait_for_port = true;
    };

    ServerProcess();
    explicit ServerProcess(Options options);
    // Kills the process if it still runs.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The data folder given as XDG_DATA_HOME.
    const std::string& DataHome() const { return data_home_.Path(); }
    std::string PortFilePath() const;
    // The port read from the port file.
    unsigned short Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    // The TCP port the process listens on, found through /proc: for runs
    // without a port file. Waits for the listening socket to appear.
    unsigned short ListeningPort() const;

    // Sends `signal` to the process, as a console, kill or a closed terminal does.
    void Signal(int signal) const;
    // Waits for the process to end; its exit code, or -signal when killed,
    // or no value when it still runs at the deadline.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool IsRunning();
    // The most resident memory the process has used, in KiB: so far while it
    // runs, in all once it has ended (0 when unknown).
    long PeakResidentKib();
    // Everything the process wrote to standard error so far.
    std::string Stderr() const;
    // Waits until standard error contains `text`.
    bool WaitForStderr(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  private:
    void Spawn(const Options& options);
    void ReadPort();

    TempDir data_home_;
    TempDir scratch_;
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
    long peak_resident_kib_ = 0;
    unsigned short port_ = 0;
};
