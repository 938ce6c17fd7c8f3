// The TCP side of one controller: a loopback listener and its connections.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "CommandSink.h"
#include "RecordBytes.h"
#include "ServerConnection.h"

namespace sim {

// Listens on 127.0.0.1, serves each connection on its own thread, and fans the
// records of the controller clock out to the record streams.
class ControllerServer {
  public:
    // Binds 127.0.0.1:`port` (0: the system chooses); throws std::runtime_error on failure.
    ControllerServer(CommandSink& sink, uint16_t port);
    ~ControllerServer();
    ControllerServer(const ControllerServer&) = delete;
    ControllerServer& operator=(const ControllerServer&) = delete;

    // The port actually bound.
    uint16_t Port() const { return port_; }
    // Starts accepting connections.
    void Start();
    // Closes the listener and every connection and waits for their threads.
    void Stop();

    // True when at least one stream wants a record at `sample`.
    bool RecordDue(uint64_t sample);
    // Sends `record` to every stream that said it was due at the last RecordDue.
    void DeliverRecord(const RecordBytes& record);
    // Number of open record streams.
    size_t StreamCount();
    // Waits until `count` streams have asked for records; false at the timeout.
    bool WaitForStreams(size_t count, std::chrono::milliseconds timeout);
    // A stream's rate changed (called by its connection).
    void NoteRateChange();

    // Closes every record stream (commands go on).
    void CutRecordStreams();
    // Closes every connection, commands and streams.
    void CutConnections();
    // While true, replies are held back (the commands still take effect).
    void SetReplyStall(bool stalled);
    // While true, no records are sent (the streams stay open).
    void SetRecordStall(bool stalled);
    // Blocks a connection's reply while replies are stalled.
    void WaitWhileRepliesStalled(const ServerConnection& connection);
    // For `duration` from now, neither replies nor records go out.
    void StallFor(std::chrono::milliseconds duration);
    // Blocks a connection's reply for `hold`, or until it is cut.
    void HoldReply(const ServerConnection& connection, std::chrono::milliseconds hold);
    // While true, the port is closed: connecting is refused and every open
    // connection is cut. False listens again on the same port.
    void RefuseConnections(bool refuse);

  private:
    // Binds and listens on 127.0.0.1:`port`; throws std::runtime_error on failure.
    void Listen(uint16_t port);
    // Ends the accept thread and closes the listening socket.
    void StopAccepting();
    // True while a timed stall (StallFor) lasts.
    bool TimedStall() const;
    // Waits while `blocked` holds, the connection is open and the server runs.
    void WaitWhile(const ServerConnection& connection, const std::function<bool()>& blocked);
    // Accept thread.
    void AcceptLoop();
    // Joins and forgets connections whose peer has gone.
    void ReapFinished();

    CommandSink& sink_;                                           // executes command lines
    int listen_fd_ = -1;                                          // the listening socket
    uint16_t port_ = 0;                                           // bound port
    std::thread acceptor_;                                        // runs AcceptLoop
    std::atomic<bool> stopping_{false};                           // Stop was called
    std::mutex mutex_;                                            // guards the members below
    std::vector<std::shared_ptr<ServerConnection>> connections_;  // live connections
    std::vector<std::shared_ptr<ServerConnection>> due_;          // streams due now
    std::condition_variable rate_changed_;                        // signals NoteRateChange
    std::atomic<bool> record_stall_{false};                       // records held back
    std::mutex stall_mutex_;                                      // guards reply_stall_
    std::condition_variable stall_changed_;                       // wakes stalled replies
    bool reply_stall_ = false;                                    // replies held back
    // End of a timed stall, steady-clock nanoseconds; read per sample.
    std::atomic<int64_t> stall_until_ns_{0};
    std::mutex listener_mutex_;  // serialises RefuseConnections
    bool refusing_ = false;      // the port is closed (guarded by listener_mutex_)
};

}  // namespace sim
