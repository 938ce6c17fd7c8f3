// Reading fields of a data record by byte offset and width. Records are a
// little-endian wire format; every read is bounds-checked.
#pragma once

#include <zenlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

// Byte offset of controller axis A's block and the size of each block.
constexpr int kAxisBlockOffset = 82;
constexpr int kAxisBlockSize = 36;

// True when a field of `width` bytes at `offset` lies inside a record.
constexpr bool RecordFieldInRange(int offset, int width) {
    return offset >= 0 && width > 0 && offset <= static_cast<int>(sizeof(ZDataRecord)) - width;
}

// The field of type T at `offset`; 0 when the field would leave the record.
template <typename T>
T ReadRecordField(const ZDataRecord& record, int offset) {
    static_assert(std::is_integral<T>::value, "record fields are integers");
    if (!RecordFieldInRange(offset, static_cast<int>(sizeof(T)))) {
        return 0;
    }
    // Assemble little-endian bytes, so the read is right on any host.
    using Unsigned = typename std::make_unsigned<T>::type;
    Unsigned value = 0;
    for (int i = static_cast<int>(sizeof(T)) - 1; i >= 0; --i) {
        value = static_cast<Unsigned>((value << 8) | record.bytes[offset + i]);
    }
    T result;
    std::memcpy(&result, &value, sizeof(T));
    return result;
}

// Named fields of the main record.
inline uint16_t SampleNumber(const ZDataRecord& r) {
    return ReadRecordField<uint16_t>(r, 4);
}
inline uint8_t MeshStatus(const ZDataRecord& r) {
    return ReadRecordField<uint8_t>(r, 51);
}
inline uint16_t SegmentCount(const ZDataRecord& r) {
    return ReadRecordField<uint16_t>(r, 62);
}
inline uint16_t CoordinatedStatus(const ZDataRecord& r) {
    return ReadRecordField<uint16_t>(r, 64);
}
inline uint16_t SegmentBufferFree(const ZDataRecord& r) {
    return ReadRecordField<uint16_t>(r, 70);
}

// Fields of the block of axis index 0 (A) to 4 (E).
inline uint16_t AxisStatus(const ZDataRecord& r, int axis) {
    return ReadRecordField<uint16_t>(r, kAxisBlockOffset + axis * kAxisBlockSize + 0);
}
inline uint8_t AxisSwitches(const ZDataRecord& r, int axis) {
    return ReadRecordField<uint8_t>(r, kAxisBlockOffset + axis * kAxisBlockSize + 2);
}
inline int32_t AxisReferencePosition(const ZDataRecord& r, int axis) {
    return ReadRecordField<int32_t>(r, kAxisBlockOffset + axis * kAxisBlockSize + 4);
}
inline uint16_t AxisAnalogInput(const ZDataRecord& r, int axis) {
    return ReadRecordField<uint16_t>(r, kAxisBlockOffset + axis * kAxisBlockSize + 28);
}
inline uint32_t AxisPositionTrusted(const ZDataRecord& r, int axis) {
    return ReadRecordField<uint32_t>(r, kAxisBlockOffset + axis * kAxisBlockSize + 32);
}

// Fields of the temperature controller's record.
inline int32_t TemperatureInputA(const ZDataRecord& r) {
    return ReadRecordField<int32_t>(r, 48);
}
inline int32_t TemperatureInputB(const ZDataRecord& r) {
    return ReadRecordField<int32_t>(r, 52);
}
