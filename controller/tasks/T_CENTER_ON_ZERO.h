// Before Z homes: moves X and Y to reference position 0,0, so the bed is
// probed at its centre, and finishes once both read 0.
#pragma once

#include "Task.h"

#include <atomic>
#include <cstdint>

class T_CENTER_ON_ZERO : public Task {
  public:
    // Reads no parameter.
    explicit T_CENTER_ON_ZERO(Parameters data);

    // Stops X and Y and leaves position tracking.
    void OnFinish() override;
    // Watches both reference positions and starts the centring move.
    void OnStart() override;
    // Stops X and Y.
    void OnCancel() override;

  private:
    // True once the latest record shows A and B at reference 0; false
    // before the first record.
    static bool Centred();

    // Last seen reference positions of A and B, written by the record thread.
    std::atomic<int32_t> last_a_reference_{0};
    std::atomic<int32_t> last_b_reference_{0};
};
