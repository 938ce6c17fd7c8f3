#include "T_GroupMotionComplete.h"

#include "DataRecordWatcher.h"
#include "RecordFields.h"
#include "T_MotionComplete.h"
#include "TaskManager.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace {

constexpr uint16_t kMovingBit = 1u << 15;

// Controller axis index of a printer or controller axis letter; -1 for none.
int AxisIndex(char letter) {
    const std::string printer = "XYZE";
    const auto found = printer.find(letter);
    if (found != std::string::npos) {
        return static_cast<int>(found);
    }
    return letter >= 'A' && letter <= 'E' ? letter - 'A' : -1;
}

}  // namespace

T_GroupMotionComplete::T_GroupMotionComplete(Parameters data)
    : Task("T_GroupMotionComplete", std::move(data)) {
    const auto axes = GetProperty<std::string>("axes");
    for (const char axis : axes) {
        AddParallelTask(
            TaskManager::CreateTask<T_MotionComplete>({{"axis", std::string(1, axis)}}));
    }
    if (!HasProperty("target")) {
        return;
    }
    const auto positions = GetProperty<std::vector<int32_t>>("target");
    if (positions.size() != axes.size()) {
        throw std::invalid_argument("\"target\" needs one position per axis of \"axes\"");
    }
    for (size_t i = 0; i < axes.size(); ++i) {
        const int index = AxisIndex(axes[i]);
        if (index < 0) {
            throw std::invalid_argument(std::string("no axis ") + axes[i] + " to reach a target");
        }
        targets_.push_back(Target{axes[i], index, positions[i]});
    }
    AddCompletionCondition([this] { return Arrived(); });
}

void T_GroupMotionComplete::OnStart() {
    if (targets_.empty()) {
        return;
    }
    // Held for every record in which the axes stand: at the target the group
    // ends even when its per-axis waits ended first, away from it it fails.
    AddTimedWatch([this](const ZDataRecord& record, const ControllerTime& time) {
        return Stood(record, time);
    });
    since_.Set(ReadControllerTime());
}

void T_GroupMotionComplete::OnUpdate() {
    const auto latest = DataRecordWatcher::GetInstance().GetTimedRecord();
    if (latest.record && StoodAway(*latest.record, latest.time)) {
        FailStep(StoodAwayReason(*latest.record));
    }
}

bool T_GroupMotionComplete::Arrived() const {
    if (targets_.empty()) {
        return true;
    }
    const auto latest = DataRecordWatcher::GetInstance().GetTimedRecord();
    if (!latest.record || !since_.IsPassedBy(latest.time)) {
        return false;
    }
    for (const Target& target : targets_) {
        if (AxisReferencePosition(*latest.record, target.index) != target.position) {
            return false;
        }
    }
    return true;
}

void T_GroupMotionComplete::OnPause() {
    since_.Clear();
}

void T_GroupMotionComplete::OnResume() {
    if (!targets_.empty()) {
        since_.Set(ReadControllerTime());
    }
}

bool T_GroupMotionComplete::Stood(const ZDataRecord& record, const ControllerTime& time) const {
    if (!since_.IsPassedBy(time)) {
        return false;
    }
    for (const Target& target : targets_) {
        if ((AxisStatus(record, target.index) & kMovingBit) != 0) {
            return false;
        }
    }
    return true;
}

bool T_GroupMotionComplete::StoodAway(const ZDataRecord& record, const ControllerTime& time) const {
    if (!Stood(record, time)) {
        return false;
    }
    for (const Target& target : targets_) {
        if (AxisReferencePosition(record, target.index) != target.position) {
            return true;
        }
    }
    return false;
}

std::string T_GroupMotionComplete::StoodAwayReason(const ZDataRecord& record) const {
    for (const Target& target : targets_) {
        const int32_t position = AxisReferencePosition(record, target.index);
        if (position != target.position) {
            return StoppedShortReason(target.letter, position, target.position);
        }
    }
    return "Axes stopped short of their target";
}

std::string T_GroupMotionComplete::StoppedShortReason(char letter, int32_t position,
                                                      int32_t target) {
    return std::string("Axis ") + letter + " stopped at " + std::to_string(position) +
           ", short of its target " + std::to_string(target);
}
