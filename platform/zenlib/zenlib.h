// Controller communication library: connections, commands and data records.
// Our stand-in for the controller maker's library; it speaks the TCP protocol
// described in docs/controller-protocol.md.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Opaque connection handle written by ZOpen.
typedef void* ZHandle;
// 0 on success; any other value is an error (see the Z_ERR_ codes).
typedef int32_t ZReturnCode;
// Byte counts of reply buffers.
typedef uint32_t ZSize;

enum : ZReturnCode {
    Z_OK = 0,
    Z_ERR_COMMAND_REJECTED = -10000,  // the controller answered "?"; ask "TC1" why
    Z_ERR_TIMEOUT = -1100,            // no reply or record within the timeout
    Z_ERR_CONNECTION_REFUSED = -1101, // nobody listens at the address
    Z_ERR_CONNECTION_LOST = -1102,    // the peer closed or reset the connection
    Z_ERR_BAD_HANDLE = -1103,         // null, closed or unknown handle
    Z_ERR_BAD_ADDRESS = -1104,        // the address text cannot be parsed or resolved
    Z_ERR_BAD_ARGUMENT = -1105,       // null buffer or other unusable argument
    Z_ERR_NO_STREAM = -1106,          // record call on a handle opened without "-s DR"
};

#pragma pack(push, 1)

// One axis of the main controller's record: 36 bytes.
struct ZAxisBlock {
    uint16_t axis_status;            // bit 15 moving, 7 negative, 0 motor off, 8 coordinated
    uint8_t axis_switches;           // bit 2 limit/home switch
    uint8_t reserved_3;
    int32_t axis_reference_position; // counts
    uint8_t reserved_8[20];
    uint16_t axis_analog_input;      // raw analog input
    uint8_t reserved_30[2];
    uint32_t axis_position_trusted;  // 1 when the position is trusted
};

// The main controller's data record: 512 bytes, little-endian.
struct ZDataRecordStd {
    uint8_t reserved_0[4];
    uint16_t sample_number;          // wraps from 65535 to 0
    uint8_t reserved_6[45];
    uint8_t mesh_status;             // bit 0 mesh in use
    uint8_t reserved_52[10];
    uint16_t segment_count;          // coordinated segments completed
    uint16_t coordinated_status;     // bit 15 coordinated motion running
    uint8_t reserved_66[4];
    uint16_t segment_buffer_free;    // 511 when empty
    uint8_t reserved_72[10];
    ZAxisBlock axis_block[5];        // axes A to E
    uint8_t reserved_262[250];
};

// The temperature controller's data record: 512 bytes, little-endian.
struct ZDataRecordTemperature {
    uint8_t reserved_0[48];
    int32_t temperature_input_a;     // extruder heater input, whole degrees
    int32_t temperature_input_b;     // bed heater input, whole degrees
    uint8_t reserved_56[456];
};

#pragma pack(pop)

// Every layout the library delivers, over the same 512 bytes.
union ZDataRecord {
    ZDataRecordStd std;
    ZDataRecordTemperature temperature;
    uint8_t bytes[512];
};

// Opens a connection. address: "HOST[:PORT] [-t TIMEOUT_MS] [-s DR]".
ZReturnCode ZOpen(const char* address, ZHandle* handle);
// Sends one command and waits for its reply; *bytes_returned is the reply length.
ZReturnCode ZCommand(ZHandle handle, const char* command, char* reply, ZSize reply_size,
                     ZSize* bytes_returned);
// Waits for the next streamed record (mode 1) and copies it into *record.
ZReturnCode ZRecord(ZHandle handle, ZDataRecord* record, int32_t mode);
// Closes the command and record connections of the handle.
ZReturnCode ZClose(ZHandle handle);
}

static_assert(sizeof(ZAxisBlock) == 36, "axis block is 36 bytes");
static_assert(sizeof(ZDataRecordStd) == 512, "main record is 512 bytes");
static_assert(sizeof(ZDataRecordTemperature) == 512, "temperature record is 512 bytes");
static_assert(sizeof(ZDataRecord) == 512, "record union is 512 bytes");
static_assert(offsetof(ZDataRecordStd, sample_number) == 4, "layout");
static_assert(offsetof(ZDataRecordStd, mesh_status) == 51, "layout");
static_assert(offsetof(ZDataRecordStd, segment_count) == 62, "layout");
static_assert(offsetof(ZDataRecordStd, coordinated_status) == 64, "layout");
static_assert(offsetof(ZDataRecordStd, segment_buffer_free) == 70, "layout");
static_assert(offsetof(ZDataRecordStd, axis_block) == 82, "layout");
static_assert(offsetof(ZAxisBlock, axis_switches) == 2, "layout");
static_assert(offsetof(ZAxisBlock, axis_reference_position) == 4, "layout");
static_assert(offsetof(ZAxisBlock, axis_analog_input) == 28, "layout");
static_assert(offsetof(ZAxisBlock, axis_position_trusted) == 32, "layout");
static_assert(offsetof(ZDataRecordTemperature, temperature_input_a) == 48, "layout");
static_assert(offsetof(ZDataRecordTemperature, temperature_input_b) == 52, "layout");
