#include "T_LinearMove.h"

#include <limits>
#include <utility>

namespace {

// The move values of the task parameters; a missing feed cannot give a speed.
MoveValues ValuesFrom(const nlohmann::json* data) {
    MoveValues values;
    values.feed = std::numeric_limits<double>::quiet_NaN();
    if (data == nullptr || !data->is_object()) {
        return values;
    }
    static const char* const kLetters[] = {"X", "Y", "Z", "E"};
    for (int i = 0; i < MoveValues::kAxes; ++i) {
        if (data->contains(kLetters[i])) {
            values.Set(i, data->at(kLetters[i]).get<double>());
        }
    }
    if (data->contains("F")) {
        values.feed = data->at("F").get<double>();
    }
    return values;
}

}  // namespace

T_LinearMove::T_LinearMove(Parameters data)
    : Task("T_LinearMove", data), values_(ValuesFrom(data.get())) {
    AddConditions();
}

T_LinearMove::T_LinearMove(uint32_t id, const MoveValues& values)
    : Task("T_LinearMove", Parameters(), id), values_(values) {
    AddConditions();
}

void T_LinearMove::AddConditions() {
    AddCompletionCondition([this] { return sent_.load() && complete_; });
    AddStartCondition([this] { return started_; });
}

void T_LinearMove::OnStart() {
    SendCommand(li_command_);
    sent_ = true;
}

void T_LinearMove::SetCommand(std::string command, bool moved) {
    moved_ = moved;
    if (moved) {
        li_command_ = std::move(command);
    }
}

void T_LinearMove::SetSegmentNumber(uint32_t number) {
    segment_number_ = static_cast<int32_t>(number);
}

void T_LinearMove::SetPlannedEnd(const std::vector<int64_t>& counts) {
    for (size_t i = 0; i < planned_end_.size() && i < counts.size(); ++i) {
        planned_end_[i] = counts[i];
    }
}

void T_LinearMove::Skip() {
    sent_ = true;
    complete_ = true;
    started_ = true;
}

void T_LinearMove::Reset() {
    if (!complete_) {
        started_ = false;
        sent_ = false;
    }
}

void T_LinearMove::Complete() {
    complete_ = true;
    Finish();
}

void T_LinearMove::FinishSegment() {
    Finish();
}
