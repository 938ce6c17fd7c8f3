#include "ControllerConnection.h"
#include "RecordFields.h"

#include <gtest/gtest.h>

TEST(RecordFields, ReadByOffsetAndWidthLittleEndian) {
    ZDataRecord record{};
    record.bytes[4] = 0x34;
    record.bytes[5] = 0x12;
    EXPECT_EQ(SampleNumber(record), 0x1234);
    record.std.axis_block[2].axis_reference_position = -200;
    EXPECT_EQ(AxisReferencePosition(record, 2), -200);
    EXPECT_EQ(ReadRecordField<int32_t>(record, 82 + 2 * 36 + 4), -200);
    record.std.axis_block[4].axis_position_trusted = 1;
    EXPECT_EQ(AxisPositionTrusted(record, 4), 1u);
    record.temperature.temperature_input_b = -7;
    EXPECT_EQ(TemperatureInputB(record), -7);
    record.std.mesh_status = 0x81;
    EXPECT_EQ(MeshStatus(record), 0x81);
    EXPECT_EQ(ReadRecordField<uint8_t>(record, 51), 0x81);
}

TEST(RecordFields, AllZeroRecordReadsAsIdle) {
    const ZDataRecord record{};
    for (int axis = 0; axis < 5; ++axis) {
        EXPECT_EQ(AxisStatus(record, axis), 0) << axis;  // not moving, motor on, positive
        EXPECT_EQ(AxisReferencePosition(record, axis), 0);
        EXPECT_NE(AxisPositionTrusted(record, axis), 1u);
    }
    EXPECT_EQ(MeshStatus(record) & 1, 0);
    EXPECT_EQ(SegmentBufferFree(record), 0);
}

TEST(RecordFields, ReadsOutsideTheRecordGiveZero) {
    ZDataRecord record{};
    for (auto& byte : record.bytes)
        byte = 0xFF;
    EXPECT_EQ(ReadRecordField<uint16_t>(record, 510), 0xFFFF);
    EXPECT_EQ(ReadRecordField<uint16_t>(record, 511), 0);
    EXPECT_EQ(ReadRecordField<int32_t>(record, -1), 0);
    EXPECT_EQ(ReadRecordField<uint8_t>(record, 512), 0);
    EXPECT_EQ(ReadRecordField<uint32_t>(record, 1 << 30), 0u);
}

TEST(TrimReply, DropsTheReplyEnding) {
    const char* reply = "\r\n:";
    EXPECT_EQ(ControllerConnection::TrimReply(reply, 3), "");
    EXPECT_EQ(ControllerConnection::TrimReply("7\r\n:", 4), "7");
    EXPECT_EQ(ControllerConnection::TrimReply("1, 2, 3\r\n:", 10), "1, 2, 3");
    EXPECT_EQ(ControllerConnection::TrimReply("no ending", 9), "no ending");
    EXPECT_EQ(ControllerConnection::TrimReply("ab\r\n", 4), "ab\r\n");
    // Only the counted bytes count; nothing relies on a terminating NUL.
    EXPECT_EQ(ControllerConnection::TrimReply("42\r\n:garbage", 5), "42");
    EXPECT_EQ(ControllerConnection::TrimReply("", 0), "");
}

TEST(TrimReply, NeverReadsPastTheReplyBuffer) {
    std::string full(ControllerConnection::kReplySize, 'x');
    EXPECT_EQ(ControllerConnection::TrimReply(full.data(), 100000).size(),
              ControllerConnection::kReplySize);
}
