// Jogs one axis at a given speed until the UI stops it or the axis comes
// to rest by itself, keeping the UI's jog indicator up to date.
#pragma once

#include "Task.h"
#include "TimeMark.h"

#include <atomic>
#include <string>

class T_Jog : public Task {
  public:
    // Parameters: "axis" (X, Y, Z, E), "polarity" (names the UI key only)
    // and "speed" (the "JG" value, sign included), both strings.
    explicit T_Jog(Parameters data);

    // Publishes the key false; the axis has stopped or jogs on for a newer jog.
    void OnFinish() override;
    // Watches the axis's jogging state, jogs and publishes the key true.
    void OnStart() override;
    // Publishes the key false and stops the axis (also when paused).
    void OnCancel() override;
    // Notes that the records have shown the axis jogging, or finishes a jog
    // whose axis never started moving.
    void OnUpdate() override;
    // Stops the axis and publishes the key false.
    void OnPause() override;
    // Publishes the key true and jogs again.
    void OnResume() override;
    // Adds "axis" as given.
    void FillStatus(nlohmann::json& json) override;
    // Only the UI, or a limit, ends a jog.
    bool RunsUntilStopped() const override { return true; }

    // "jog" + polarity + axis, for example "jogNegX".
    std::string GetJogKey();
    std::string GetPolarity();
    std::string GetSpeed();

  private:
    // The speed, then (unless the axis already jogs) stop, motor on, begin
    // and a read of the controller's time, from which on the axis has
    // kStartSamples to show its jog.
    void Jog();
    // A record at `time` was sampled past the start deadline and the records
    // have not shown the axis jogging since the begin. Evaluated on the
    // record thread.
    bool StartMissed(const ControllerTime& time) const;
    // The watcher's jogging test for the axis; false before any record.
    bool AxisJogging() const;
    void Publish(bool value);
    // Stops the axis until the records show it standing.
    void StopJog();

    // The records have shown the axis jogging since the last start or
    // resume; read by the record thread's watch.
    std::atomic<bool> jogging_{false};
    // Set while a begun jog must show by this controller time.
    TimeMark start_deadline_;
    // The controller axis, fixed in OnStart before the watch is registered,
    // so the record thread never reads the parameters.
    std::string axis_;
};
