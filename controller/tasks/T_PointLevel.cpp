#include "T_PointLevel.h"

#include "AxisStopper.h"
#include "DataRecordWatcher.h"
#include "RecordFields.h"
#include "T_GroupMotionComplete.h"
#include "T_LeaveLimitSwitch.h"
#include "T_MotionComplete.h"
#include "T_SendToLimitSwitch.h"
#include "T_Wait.h"
#include "TaskManager.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/pointer_cast.hpp>

namespace {

constexpr int kAxisC = 2;
// Z's height over each point before the probe goes down, in counts.
constexpr uint32_t kHoverZ = 4000;

}  // namespace

T_PointLevel::T_PointLevel(Parameters data, std::function<void()> on_point_finished)
    : Task("T_PointLevel", std::move(data)), on_point_finished_(std::move(on_point_finished)) {
    if (!on_point_finished_) {
        throw std::invalid_argument("T_PointLevel needs an on-point-finished callback");
    }
    auto settle = TaskManager::CreateTask<T_Wait>({{"ms", 500}});
    // Where OnStart sends the axes: a stop on the way fails the point.
    auto stand = TaskManager::CreateTask<T_GroupMotionComplete>(
        {{"axes", "XYZ"},
         {"target", {GetProperty<uint32_t>("xpos"), GetProperty<uint32_t>("ypos"), kHoverZ}}});
    auto down = TaskManager::CreateTask<T_SendToLimitSwitch>({{"axis", "Z"}});
    auto up = TaskManager::CreateTask<T_LeaveLimitSwitch>({{"axis", "Z"}});
    auto z_stands = TaskManager::CreateTask<T_MotionComplete>({{"axis", "Z"}});
    // Found through the table, not held: the wait may outlive this point's
    // children list.
    const uint32_t point_id = id_;
    z_stands->AddOnFinish([point_id] {
        auto point =
            boost::dynamic_pointer_cast<T_PointLevel>(TaskManager::GetInstance().GetTask(point_id));
        if (point) {
            point->RecordPoint();
        }
    });
    stand_ = stand;
    AddSubTasks({settle, stand, down, up, z_stands});
}

void T_PointLevel::OnStart() {
    MoveOverPoint();
}

void T_PointLevel::OnPause() {
    // The probe's own switch jog stops Z again when it is paused itself.
    AxisStopper(*this, {"ST ABC"}, {0, 1, 2}, false).Stop();
}

void T_PointLevel::OnResume() {
    if (!stand_->IsStatus(FINISHED)) {
        MoveOverPoint();
    }
}

void T_PointLevel::MoveOverPoint() {
    SendCommand("PA" + std::to_string(GetProperty<uint32_t>("xpos")) + "," +
                std::to_string(GetProperty<uint32_t>("ypos")) + "," + std::to_string(kHoverZ));
}

void T_PointLevel::OnFinish() {
    on_point_finished_();
    SendCommand("PTC=1");
    SendCommand("SPC=20000");
}

void T_PointLevel::RecordPoint() {
    const auto record = DataRecordWatcher::GetInstance().GetRecord();
    if (!record) {
        // Without a record there is no probed height to store.
        throw std::runtime_error("no data record for the probed point");
    }
    const int32_t position = AxisReferencePosition(*record, kAxisC);
    const int32_t number = GetProperty<int32_t>("number");
    SendCommand("zoffsets[" + std::to_string(number) + "]=" + std::to_string(position));
}
