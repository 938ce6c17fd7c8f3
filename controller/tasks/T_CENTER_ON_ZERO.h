// Before Z homes: moves X and Y to reference position 0,0, so the bed is
// probed at its centre, and finishes once both read 0.
#pragma once

#include "Task.h"
#include "TimeMark.h"

#include <atomic>
#include <cstdint>
#include <string>

class T_CENTER_ON_ZERO : public Task {
  public:
    // Reads no parameter.
    explicit T_CENTER_ON_ZERO(Parameters data);

    // Stops X and Y and leaves position tracking.
    void OnFinish() override;
    // Watches both reference positions and starts the centring move.
    void OnStart() override;
    // Stops X and Y (also when paused).
    void OnCancel() override;
    // Stops X and Y where they are.
    void OnPause() override;
    // Sends X and Y on toward 0,0.
    void OnResume() override;
    // Fails the homing when X and Y stand short of 0,0: someone stopped them.
    void OnUpdate() override;

  private:
    // Stops X and Y until the records show them standing.
    void StopXY();
    // True once the latest record shows A and B at reference 0; false
    // before the first record.
    static bool Centred();
    // A record, at `time`, sampled after the centring move was sent shows X
    // and Y standing with one of them off 0.
    bool StoppedShort(const ZDataRecord& record, const ControllerTime& time) const;
    static std::string StoppedShortReason(const ZDataRecord& record);

    // Last seen reference positions of A and B, written by the record thread.
    std::atomic<int32_t> last_a_reference_{0};
    std::atomic<int32_t> last_b_reference_{0};
    // The controller's clock once "PA 0,0" was answered; unset until then.
    TimeMark centring_sent_at_;
};
