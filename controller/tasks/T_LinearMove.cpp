#include "T_LinearMove.h"

#include <utility>

T_LinearMove::T_LinearMove(Parameters data) : Task("T_LinearMove", std::move(data)) {
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
