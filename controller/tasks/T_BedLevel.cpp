#include "T_BedLevel.h"

#include "AxisStopper.h"
#include "MainConnection.h"
#include "T_PointLevel.h"
#include "TaskManager.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

namespace {

// The controller keeps at most this many elements in one array.
constexpr uint64_t kMaxPoints = 16000;

}  // namespace

T_BedLevel::T_BedLevel(Parameters data) : Task("T_BedLevel", std::move(data)) {
    recalculate_ = GetProperty<bool>("recalculate");
    if (recalculate_) {
        const auto x_limit = GetProperty<uint32_t>("xlimit");
        const auto y_limit = GetProperty<uint32_t>("ylimit");
        x_regions_ = GetProperty<uint32_t>("xregions");
        y_regions_ = GetProperty<uint32_t>("yregions");
        const auto samples = GetProperty<uint32_t>("samples");
        if (x_regions_ == 0 || y_regions_ == 0) {
            throw std::invalid_argument("bed levelling needs at least one region in X and in Y");
        }
        if (static_cast<uint64_t>(x_regions_) * y_regions_ > kMaxPoints) {
            throw std::invalid_argument("bed levelling grid has more than 16000 points");
        }
        x_dist_ = x_limit / x_regions_;
        y_dist_ = y_limit / y_regions_;
        points_total_ = x_regions_ * y_regions_;
        AddPoints(samples);
    }
    enabled_ = GetProperty<bool>("enabled");
    SetDescription(BuildDescription());
}

void T_BedLevel::AddPoints(uint32_t samples) {
    // Reached through the table, not held: a point never keeps its run alive.
    const uint32_t run_id = id_;
    auto find_run = [run_id] {
        return boost::dynamic_pointer_cast<T_BedLevel>(TaskManager::GetInstance().GetTask(run_id));
    };
    auto on_point_finished = [find_run] {
        if (auto run = find_run()) {
            run->OnPointFinished();
        }
    };
    auto on_point_cancelled = [find_run](const std::string& reason) {
        if (auto run = find_run()) {
            run->OnPointCancelled(reason);
        }
    };
    std::vector<Pointer> points;
    uint32_t x = 0;
    uint32_t y = 0;
    int direction = 1;
    for (uint32_t i = 0; i < points_total_; ++i) {
        auto parameters =
            boost::make_shared<nlohmann::json>(nlohmann::json{{"xpos", x * x_dist_},
                                                              {"ypos", y * y_dist_},
                                                              {"samples", samples},
                                                              {"number", y * x_regions_ + x}});
        points.push_back(boost::make_shared<T_PointLevel>(parameters, on_point_finished));
        points.back()->AddOnCancelWithReason(on_point_cancelled);
        if (direction == 1 && x + 1 == x_regions_) {
            direction = -1;
            ++y;
        } else if (direction == -1 && x == 0) {
            direction = 1;
            ++y;
        } else {
            x += direction;
        }
    }
    AddSubTasks(points);
}

std::string T_BedLevel::BuildDescription() const {
    std::string description = "Level Bed|{";
    description += enabled_ ? "Enabled" : "Disabled";
    description += "}|";
    if (recalculate_) {
        description += "{" + std::to_string(points_done_) + " / " + std::to_string(points_total_) +
                       " samples}";
    }
    return description;
}

void T_BedLevel::OnStart() {
    if (!recalculate_) {
        Finish();
        return;
    }
    for (const std::string command : {"AB", "SH ABCE", "LD 1,1,1,3,3", "DA zoffsets[0]"}) {
        SendCommand(command);
    }
    SendCommand("DM zoffsets[" + std::to_string(points_total_) + "]");
    SendCommand("xdist=" + std::to_string(x_dist_));
    SendCommand("ydist=" + std::to_string(y_dist_));
    SendCommand("xregions=" + std::to_string(x_regions_));
    SendCommand("yregions=" + std::to_string(y_regions_));
    SendCommand("SP 20000,20000,20000");
    SendCommand("PT 1,1,1,0,1");
    UpdateMeshFlags(false, true);
}

void T_BedLevel::OnFinish() {
    if (recalculate_) {
        SendCommand("LDC=3");
        SendCommand("PA 0,0,,,0");
        SendCommand("PT 0,0,1,0,0");
    }
    if (enabled_) {
        MainConnection::GetInstance().ExecuteProgram();
    } else {
        SendCommand("AB");
    }
    UpdateMeshFlags(true, false);
}

void T_BedLevel::OnCancel() {
    // The mesh is released and the UI told even when the stop fails.
    std::exception_ptr failure;
    try {
        AxisStopper::ForAll(*this, {"ST"}).Stop();
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        SendCommand("DA zoffsets[0]");
    } catch (...) {
        if (!failure) {
            failure = std::current_exception();
        }
    }
    UpdateMeshFlags(false, false);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void T_BedLevel::OnPointFinished() {
    ++points_done_;
    PublishDescription();
}

void T_BedLevel::OnPointCancelled(const std::string& reason) {
    // The run's own end reaches its points too.
    if (IsStatus(CANCELLED) || IsStatus(FINISHED)) {
        return;
    }
    // As a failing step fails its parent: a G29 line shows the reason, and
    // its cancellation cancels the run (which stops the probing) and the
    // program behind the line.
    FailStep(reason);
}

void T_BedLevel::PublishDescription() {
    nlohmann::json update = {{"description", BuildDescription()}};
    Pointer parent = parent_id_ != 0 ? Parent() : nullptr;
    if (parent) {
        parent->QueueUpdate(update);
    } else {
        QueueUpdate(update);
    }
}

void T_BedLevel::UpdateMeshFlags(bool available, bool calculating) {
    UpdateUI({{"meshAvailable", available}, {"meshCalculating", calculating}});
}
