#include "ZConnectionTable.h"

namespace zen {

ZConnectionTable& ZConnectionTable::Instance() {
    // Never destroyed: singletons of the program close their connections in
    // their own destructors at exit, possibly after a static table would be gone.
    static ZConnectionTable* table = new ZConnectionTable;
    return *table;
}

ZHandle ZConnectionTable::Add(std::shared_ptr<ZConnection> connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    uintptr_t handle = next_handle_++;
    connections_[handle] = std::move(connection);
    return reinterpret_cast<ZHandle>(handle);
}

std::shared_ptr<ZConnection> ZConnectionTable::Find(ZHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = connections_.find(reinterpret_cast<uintptr_t>(handle));
    return found == connections_.end() ? nullptr : found->second;
}

std::shared_ptr<ZConnection> ZConnectionTable::Remove(ZHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = connections_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == connections_.end()) {
        return nullptr;
    }
    std::shared_ptr<ZConnection> connection = std::move(found->second);
    connections_.erase(found);
    return connection;
}

}  // namespace zen
