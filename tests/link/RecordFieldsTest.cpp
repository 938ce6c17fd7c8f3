#include "ControllerConnection.h"
#include "RecordFields.h"

#include <gtest/gtest.h>

TEST(RecordFields, ReadByOffsetAndWidthLittleEndianAndZeroOutsideTheRecord) {
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

    for (auto& byte : record.bytes)
        byte = 0xFF;
    EXPECT_EQ(ReadRecordField<uint16_t>(record, 510), 0xFFFF);
    EXPECT_EQ(ReadRecordField<uint16_t>(record, 511), 0);
    EXPECT_EQ(ReadRecordField<int32_t>(record, -1), 0);
    EXPECT_EQ(ReadRecordField<uint8_t>(record, 512), 0);
    EXPECT_EQ(ReadRecordField<uint32_t>(record, 1 << 30), 0u);
}

TEST(TrimReply, DropsTheReplyEndingOfTheCountedBytesOnly) {
    // Nothing relies on a terminating NUL.
    using Row = std::tuple<const char*, uint32_t, std::string>;
    for (const auto& [reply, count, expected] :
         {Row{"\r\n:", 3, ""}, Row{"7\r\n:", 4, "7"}, Row{"1, 2, 3\r\n:", 10, "1, 2, 3"},
          Row{"ab\r\n", 4, "ab\r\n"}, Row{"42\r\n:garbage", 5, "42"}, Row{"", 0, ""},
          Row{"no ending", 9, "no ending"}})
        EXPECT_EQ(ControllerConnection::TrimReply(reply, count), expected) << reply;
    // A count beyond the reply buffer is cut to it.
    std::string full(ControllerConnection::kReplySize, 'x');
    EXPECT_EQ(ControllerConnection::TrimReply(full.data(), 100000).size(),
              ControllerConnection::kReplySize);
}
