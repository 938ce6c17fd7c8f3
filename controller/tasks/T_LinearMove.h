// One G0/G1 line inside a linear group: one "LI" segment of the controller's
// coordinated motion. The group computes, feeds and retires it.
#pragma once

#include "MoveValues.h"
#include "Task.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class T_LinearMove : public Task {
  public:
    // Parameters: "X", "Y", "Z", "E" (millimetres, where the line gave them), "F" (mm/min).
    explicit T_LinearMove(Parameters data);
    // A move the group made from its packed values, under the id kept for it.
    T_LinearMove(uint32_t id, const MoveValues& values);

    // Sends the LI command on the main controller.
    void OnStart() override;

    // The move's axes and feed.
    const MoveValues& Values() const { return values_; }
    // Stores the computed command; a segment without motion keeps the old text.
    void SetCommand(std::string command, bool moved);
    void SetSegmentNumber(uint32_t number);
    // The planned position of channels A to E (counts) once the segment has
    // run; a segment cut short by a pause is sent again toward it.
    void SetPlannedEnd(const std::vector<int64_t>& counts);
    const std::array<int64_t, 5>& PlannedEnd() const { return planned_end_; }
    // 1-based among the moving segments of the group; -1 without motion.
    int32_t GetSegmentNumber() const { return segment_number_; }
    bool HasMotion() const { return moved_; }
    bool IsSent() const { return sent_.load(); }
    std::string GetCommand() const { return li_command_; }
    // The group has handed it to the controller.
    void MarkStarted() { started_ = true; }
    // A segment without motion: done without being sent.
    void Skip();
    // Requeued after a pause: to be sent again unless the controller completed it.
    void Reset();
    // The controller reports it done: completes and finishes it.
    void Complete();
    // Finishes it without marking it completed (retired by the group).
    void FinishSegment();

  private:
    void AddConditions();

    MoveValues values_;
    bool moved_ = false;
    // Read by the start condition of the next segment.
    std::atomic<bool> sent_{false};
    bool complete_ = false;
    // The group's own start mark (not the base class's started flag, which
    // only a Start through the worker sets).
    bool started_ = false;
    int32_t segment_number_ = -1;
    std::string li_command_;
    std::array<int64_t, 5> planned_end_{};
};
