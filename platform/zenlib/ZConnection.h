// One open controller: its command channel and, optionally, its record channel.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "ZAddress.h"
#include "ZSocket.h"
#include "zenlib.h"

namespace zen {

// What a ZOpen handle stands for. Commands are serialised by one mutex, record
// reads by another, so ZRecord on one thread may run beside ZCommand on another.
class ZConnection {
  public:
    // Remembers the address; nothing is connected yet.
    explicit ZConnection(const ZAddress& address);
    // Connects the command channel and, with "-s DR", the record channel.
    ZReturnCode Open();
    // Sends one command and collects its reply.
    ZReturnCode Command(const char* command, char* reply, ZSize reply_size, ZSize* bytes_returned);
    // Asks for one record every `period` controller milliseconds (0 stops).
    ZReturnCode SetRecordRate(double period);
    // Waits for the next whole record.
    ZReturnCode ReadRecord(ZDataRecord* record);
    // Wakes and ends every call in progress; later calls report a lost connection.
    void Shutdown();

  private:
    // Deadline of a call that starts now.
    Deadline CallDeadline() const;
    // Opens a fresh command channel (after a timeout the old one may hold a late reply).
    ZReturnCode ReconnectCommandChannel(Deadline deadline);
    // Reads one reply: "?" or output ending in "\r\n:".
    ZReturnCode ReadReply(Deadline deadline, std::string* reply);

    const ZAddress address_;          // where the controller listens, and the options
    std::mutex command_mutex_;        // one command at a time on this handle
    ZSocket command_socket_;          // the command channel
    bool command_stale_ = false;      // a reply timed out: reconnect before the next command
    std::mutex record_read_mutex_;    // one record reader at a time
    std::mutex record_write_mutex_;   // one rate request at a time
    ZSocket record_socket_;           // the record channel ("#STREAM")
    uint8_t record_bytes_[512] = {};  // a record being received
    size_t record_filled_ = 0;        // bytes of record_bytes_ received so far
};

}  // namespace zen
