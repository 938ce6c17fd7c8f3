// The C calls of the controller library, over ZConnection and ZConnectionTable.
#include "zenlib.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "ZAddress.h"
#include "ZConnection.h"
#include "ZConnectionTable.h"
#include "zenlibo.h"

using zen::ZConnection;
using zen::ZConnectionTable;

extern "C" {

ZReturnCode ZOpen(const char* address, ZHandle* handle) {
    if (address == nullptr || handle == nullptr) {
        return Z_ERR_BAD_ARGUMENT;
    }
    zen::ZAddress parsed;
    if (!zen::ParseAddress(address, &parsed)) {
        return Z_ERR_BAD_ADDRESS;
    }
    auto connection = std::make_shared<ZConnection>(parsed);
    ZReturnCode rc = connection->Open();
    if (rc != Z_OK) {
        return rc;
    }
    *handle = ZConnectionTable::Instance().Add(std::move(connection));
    return Z_OK;
}

ZReturnCode ZCommand(ZHandle handle, const char* command, char* reply, ZSize reply_size,
                     ZSize* bytes_returned) {
    std::shared_ptr<ZConnection> connection = ZConnectionTable::Instance().Find(handle);
    if (!connection) {
        return Z_ERR_BAD_HANDLE;
    }
    return connection->Command(command, reply, reply_size, bytes_returned);
}

ZReturnCode ZRecord(ZHandle handle, ZDataRecord* record, int32_t mode) {
    std::shared_ptr<ZConnection> connection = ZConnectionTable::Instance().Find(handle);
    if (!connection) {
        return Z_ERR_BAD_HANDLE;
    }
    if (record == nullptr || mode != 1) {
        return Z_ERR_BAD_ARGUMENT;
    }
    return connection->ReadRecord(record);
}

ZReturnCode ZRecordRate(ZHandle handle, double period) {
    std::shared_ptr<ZConnection> connection = ZConnectionTable::Instance().Find(handle);
    if (!connection) {
        return Z_ERR_BAD_HANDLE;
    }
    return connection->SetRecordRate(period);
}

ZReturnCode ZClose(ZHandle handle) {
    std::shared_ptr<ZConnection> connection = ZConnectionTable::Instance().Remove(handle);
    if (!connection) {
        return Z_ERR_BAD_HANDLE;
    }
    // Calls still running on other threads hold the connection; they end now with
    // a lost connection and the sockets close when the last of them lets go.
    connection->Shutdown();
    return Z_OK;
}

ZReturnCode ZError(ZReturnCode rc, char* text, ZSize text_size) {
    if (text == nullptr || text_size == 0) {
        return Z_ERR_BAD_ARGUMENT;
    }
    const char* message = nullptr;
    switch (rc) {
        case Z_OK:
            message = "No error";
            break;
        case Z_ERR_COMMAND_REJECTED:
            message = "Command rejected by the controller";
            break;
        case Z_ERR_TIMEOUT:
            message = "Timed out waiting for the controller";
            break;
        case Z_ERR_CONNECTION_REFUSED:
            message = "Connection refused by the controller";
            break;
        case Z_ERR_CONNECTION_LOST:
            message = "Connection to the controller lost";
            break;
        case Z_ERR_BAD_HANDLE:
            message = "Invalid connection handle";
            break;
        case Z_ERR_BAD_ADDRESS:
            message = "Invalid controller address";
            break;
        case Z_ERR_BAD_ARGUMENT:
            message = "Invalid argument";
            break;
        case Z_ERR_NO_STREAM:
            message = "Connection opened without a record stream";
            break;
        default:
            break;
    }
    if (message != nullptr) {
        std::snprintf(text, text_size, "%s", message);
    } else {
        std::snprintf(text, text_size, "Unknown error %d", static_cast<int>(rc));
    }
    return Z_OK;
}
}
