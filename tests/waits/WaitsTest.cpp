// The motion waits without a controller: what they refuse, and how the
// dwell reads the controller's clock reply.
#include "T_GroupMotionComplete.h"
#include "T_MotionComplete.h"
#include "T_Wait.h"
#include "TaskManager.h"
#include "Utilities.h"

#include <gtest/gtest.h>

using nlohmann::json;

TEST(MotionWaits, MissingOrMistypedAxesFailTheConstruction) {
    EXPECT_THROW(TaskManager::CreateTask<T_GroupMotionComplete>(json::object()), std::exception);
    EXPECT_THROW(TaskManager::CreateTask<T_GroupMotionComplete>({{"axes", 3}}), std::exception);
    EXPECT_THROW(TaskManager::CreateTask<T_MotionComplete>(json::object()), std::exception);
}

TEST(Wait, ControllerTimeReply) {
    const std::pair<const char*, int32_t> rows[] = {
        {"123456.0000", 123456},
        {" 99.9999", 99},
        {"-5.7000", -5},
        {"1e300", 0},
        // Past 31 bits the clock wraps as the 32-bit sample counter does.
        {"2147483648.0000", INT32_MIN},
        {"4294967301.0000", 5}};
    for (const auto& [reply, time] : rows) {
        EXPECT_EQ(ParseControllerTime(reply), time) << reply;
    }
    // A reply without a clock is no clock 0: the dwell must not end at once.
    for (const char* reply : {"", "?", "abc", "nan", "12 abc", "inf"}) {
        EXPECT_THROW(ParseControllerTime(reply), std::runtime_error) << reply;
    }
}
