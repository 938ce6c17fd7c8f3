// A connected TCP socket with deadline-bounded reads and writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "zenlib.h"

namespace zen {

// Point in time by which a call must be done.
using Deadline = std::chrono::steady_clock::time_point;

// Owns one socket descriptor; blocking calls end at a deadline or at Shutdown.
class ZSocket {
  public:
    ZSocket() = default;
    ~ZSocket();
    ZSocket(const ZSocket&) = delete;
    ZSocket& operator=(const ZSocket&) = delete;

    // Connects to host:port (IPv4); Z_OK or a Z_ERR_ code.
    ZReturnCode Connect(const std::string& host, uint16_t port, Deadline deadline);
    // Writes all bytes; Z_OK, Z_ERR_TIMEOUT or Z_ERR_CONNECTION_LOST.
    ZReturnCode WriteAll(const void* data, size_t size, Deadline deadline);
    // Reads what is there (at least one byte); *count 0 never happens on Z_OK.
    ZReturnCode ReadSome(void* data, size_t size, Deadline deadline, size_t* count);
    // Wakes every blocked call on this socket; it can never connect again.
    void Shutdown();
    // Closes the descriptor (only when no other thread uses the socket).
    void Close();
    // True while a descriptor is held.
    bool IsOpen() const { return fd_ >= 0; }

  private:
    // Waits until the socket is ready for `events`; Z_OK, timeout or lost.
    ZReturnCode WaitReady(short events, Deadline deadline);

    std::mutex fd_mutex_;  // guards changes of fd_ against Shutdown from another thread
    int fd_ = -1;          // the descriptor, -1 when closed; changed only by the owning thread
    bool shut_ = false;    // Shutdown was called
};

}  // namespace zen
