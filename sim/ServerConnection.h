// One accepted TCP connection of a controller: a command channel or a record stream.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "CommandSink.h"
#include "RecordBytes.h"

namespace sim {

class ControllerServer;

// Reads "\r"-terminated lines. The first line "#STREAM" makes the connection a
// record stream (with its own writer thread); any other first line is a command.
class ServerConnection {
  public:
    // Takes ownership of the connected socket `fd`.
    ServerConnection(int fd, ControllerServer& server, CommandSink& sink);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Starts the reader thread.
    void Start();
    // Closes the connection from our side; the threads end by themselves.
    void Cut();
    // Waits for the threads (after Cut or after the peer left).
    void Join();
    // True once the reader thread has ended.
    bool Finished() const { return finished_; }
    // True while the connection is a record stream.
    bool IsStream() const { return stream_; }
    // True while it is a record stream with a non-zero rate.
    bool IsStreaming();
    // True when a record is due at `sample` (and books the next one).
    bool RecordDue(uint64_t sample);
    // Queues a record for sending; the oldest is dropped when the reader lags.
    void PushRecord(const RecordBytes& record);
    // True once Cut was called or the peer went away.
    bool IsCut() const { return cut_; }

  private:
    // Reader thread: splits the bytes into lines and handles them.
    void ReadLoop();
    // Handles one complete line.
    void HandleLine(const std::string& line);
    // Handles a line of a record stream ("#RATE <period>").
    void HandleStreamLine(const std::string& line);
    // Executes a command line and writes its reply.
    void HandleCommandLine(const std::string& line);
    // Writer thread of a record stream.
    void WriteLoop();
    // Blocking write of all bytes; false when the connection is gone.
    bool WriteAll(const void* data, size_t size);

    int fd_;                               // the socket; closed by the destructor
    ControllerServer& server_;             // the listener, for stalls
    CommandSink& sink_;                    // executes command lines
    std::thread reader_;                   // runs ReadLoop
    std::thread writer_;                   // runs WriteLoop (streams only)
    std::atomic<bool> finished_{false};    // ReadLoop has returned
    std::atomic<bool> cut_{false};         // the connection is being closed
    std::atomic<bool> stream_{false};      // first line was "#STREAM"
    bool first_line_ = true;               // the next line is the first (reader thread only)
    std::mutex stream_mutex_;              // guards the stream fields below
    std::condition_variable stream_wake_;  // wakes the writer
    uint64_t period_samples_ = 0;          // 0: no records
    uint64_t next_due_ = 0;                // sample of the next record; 0 until the first
    bool due_unset_ = true;                // the next record goes out at the next sample
    std::deque<RecordBytes> queue_;        // records waiting to be written
};

}  // namespace sim
