// The handles that ZOpen gave out and that ZClose has not taken back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "ZConnection.h"
#include "zenlib.h"

namespace zen {

// Maps handles to connections. A handle is a number that is never reused, so a
// closed or made-up handle is recognised instead of being dereferenced.
class ZConnectionTable {
  public:
    // The process-wide table; it lives until the process ends (usable from
    // destructors of other statics).
    static ZConnectionTable& Instance();
    // Registers a connection and returns its new handle.
    ZHandle Add(std::shared_ptr<ZConnection> connection);
    // The connection of a handle, or null for an unknown one.
    std::shared_ptr<ZConnection> Find(ZHandle handle);
    // Removes a handle and returns its connection (null when unknown).
    std::shared_ptr<ZConnection> Remove(ZHandle handle);

  private:
    ZConnectionTable() = default;

    std::mutex mutex_;                                               // guards the members below
    uintptr_t next_handle_ = 1;                                      // the next handle value
    std::map<uintptr_t, std::shared_ptr<ZConnection>> connections_;  // live handles
};

}  // namespace zen
