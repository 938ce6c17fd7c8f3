// The virtual printer: both controllers of the printer on loopback TCP, for
// tests (in-process) and for printer_sim. See docs/virtual-printer.md.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommandReply.h"
#include "RecordBytes.h"

namespace sim {

class ControllerClock;
class ControllerEndpoint;
class ControllerServer;
class MainCommandSet;
class PrinterModel;
class TemperatureCommandSet;

// Which of the two controllers a hook is meant for.
enum class Controller { kMain, kTemperature };

// How a VirtualPrinter starts.
struct VirtualPrinterOptions {
    uint16_t main_port = 0;         // 0: the system chooses
    uint16_t temperature_port = 0;  // 0: the system chooses
    double speed = 1.0;             // controller milliseconds per wall millisecond
    bool start_paused = false;      // the clock only moves through StepClock until ResumeClock
};

// One axis as the main record shows it.
struct AxisSnapshot {
    double position_counts = 0.0;  // reference position, unrounded
    int32_t reference = 0;         // reference position as reported
    uint16_t status = 0;           // axis_status word
    uint8_t switches = 0;          // axis_switches byte (bit 2)
    int32_t user_value = 0;        // "ZA" value
};

// The printer at one instant.
struct PrinterSnapshot {
    uint64_t samples = 0;                // controller clock
    std::array<AxisSnapshot, 5> axes;    // A to E
    bool coordinated_running = false;    // coordinated_status bit 15
    uint16_t segment_count = 0;          // segments completed since "CSS"
    uint16_t segment_buffer_free = 511;  // free places in the segment buffer
    double hot_end_c = 0.0;              // hot-end temperature
    double bed_c = 0.0;                  // bed temperature
    double hot_end_target_c = 0.0;       // its set-point (0: off)
    double bed_target_c = 0.0;           // its set-point (0: off)
    double fan_speed = 0.0;              // last "speed=" value
    bool program_running = false;        // "XQ" given, no "AB" since

    // Axis `index` (0 for A) moves: status bit 15.
    bool Moving(size_t index) const { return (axes[index].status & 0x8000u) != 0; }
    // No axis moves and no coordinated motion runs.
    bool Standing() const {
        for (size_t i = 0; i < axes.size(); ++i) {
            if (Moving(i)) {
                return false;
            }
        }
        return !coordinated_running;
    }
};

// Serves the main and the temperature controller on 127.0.0.1 and runs the
// simulated printer on its own threads. Every method is thread-safe.
class VirtualPrinter {
  public:
    // Binds both ports and starts the clock; throws std::runtime_error when a port is taken.
    explicit VirtualPrinter(const VirtualPrinterOptions& options = VirtualPrinterOptions());
    // Stops the clock and closes every connection.
    ~VirtualPrinter();
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    // "127.0.0.1:PORT" of a controller, ready for ZOpen.
    std::string Address(Controller controller) const;
    // The port of a controller.
    uint16_t Port(Controller controller) const;

    // --- Observing --------------------------------------------------------
    // The printer now.
    PrinterSnapshot Snapshot() const;
    // Waits until `condition` holds for the printer (checked after every clock
    // advance and command); false when `timeout` passes first.
    bool WaitUntil(const std::function<bool(const PrinterSnapshot&)>& condition,
                   std::chrono::milliseconds timeout) const;
    // Every command line a controller received, oldest first.
    std::vector<std::string> CommandLog(Controller controller) const;
    // Forgets a controller's command log.
    void ClearCommandLog(Controller controller);
    // Waits until `command` was received `count` times in all; false at the timeout.
    bool WaitForCommand(Controller controller, const std::string& command,
                        std::chrono::milliseconds timeout, size_t count = 1) const;
    // A main-controller variable; false when it does not exist.
    bool Variable(const std::string& name, double* value) const;
    // A main-controller array (empty when not declared).
    std::vector<double> Array(const std::string& name) const;
    // The record a controller would send now (forced fields applied).
    RecordBytes CurrentRecord(Controller controller) const;
    // Number of open record streams of a controller.
    size_t RecordStreamCount(Controller controller) const;
    // Waits until `count` record streams of a controller have asked for records
    // ("#RATE" with a non-zero period); false at the timeout. With the clock
    // paused, step it only after this, or the first records are not due yet.
    bool WaitForRecordStreams(Controller controller, std::chrono::milliseconds timeout,
                              size_t count = 1) const;

    // --- Setting the printer (axis letters 'A' to 'E') --------------------
    // Puts an axis at a physical position in counts (the home switch is at 0;
    // until "DP" the reference position is the physical one). Stops its motion.
    void SetAxisPosition(char axis, double physical_counts);
    // Forces the switch bit of an axis: 0 or 1; -1 follows the position again.
    void ForceSwitch(char axis, int state);
    // Tilts the bed: Z's switch (the levelling probe) sits at
    // x_slope * X + y_slope * Y physical counts instead of 0.
    void SetBedTilt(double x_slope, double y_slope);
    // Puts the hot end and the bed at temperatures at once.
    void SetTemperatures(double hot_end_c, double bed_c);
    // Overwrites `width` (1, 2 or 4) little-endian bytes at `offset` of every
    // record the controller sends, until cleared.
    void ForceRecordField(Controller controller, size_t offset, size_t width, int64_t value);
    // Drops every forced field of a controller.
    void ClearForcedRecordFields(Controller controller);

    // --- Faults -----------------------------------------------------------
    // Rejects the next command line with "?"; "TC1" then answers `error`.
    void RejectNext(Controller controller, const std::string& error);
    // Rejects every `command` (a trailing "*" matches any line starting so) until cleared.
    void RejectCommand(Controller controller, const std::string& command, const std::string& error);
    // Drops the rejections of a controller.
    void ClearRejections(Controller controller);
    // While true the controller holds back its replies (commands still take effect).
    void StallReplies(Controller controller, bool stalled);
    // While true the controller sends no records (streams stay open).
    void StallRecords(Controller controller, bool stalled);
    // Closes the controller's record streams.
    void CutRecordStreams(Controller controller);
    // Closes every connection of the controller.
    void CutConnections(Controller controller);
    // The next `count` command lines matching `pattern` (as RejectCommand) are
    // carried out at once; each reply goes out `hold` later, and the replies
    // behind it on that connection wait behind it.
    void HoldReplies(Controller controller, const std::string& pattern,
                     std::chrono::milliseconds hold, size_t count = SIZE_MAX);
    // For `duration` from now the controller answers nothing and sends no
    // records; commands are still carried out as they come. The held replies
    // then go out; the records not sent meanwhile are gone.
    void Stall(Controller controller, std::chrono::milliseconds duration);
    // Matching commands are carried out and answer `text` instead.
    void GarbleReplies(Controller controller, const std::string& pattern, const std::string& text);
    // The next matching command is carried out, then its command connection is
    // closed without a reply. New connections are taken as usual.
    void CloseAfter(Controller controller, const std::string& pattern);
    // While true the controller's port is closed: connecting is refused and
    // every connection is cut (a controller gone for good). False listens
    // again on the same port.
    void RefuseConnections(Controller controller, bool refuse);
    // A power cycle: every connection of the controller is cut, its motion or
    // heating ends (see PrinterModel) and the printer's clock starts again at
    // `clock` samples. It listens again at once.
    void Restart(Controller controller, uint64_t clock);
    // Drops the rejections and reply faults of a controller.
    void ClearFaults(Controller controller);

    // --- Clock ------------------------------------------------------------
    // Stops the clock.
    void PauseClock();
    // Runs the clock again.
    void ResumeClock();
    // Advances the clock by `samples` at once (records due are sent).
    void StepClock(uint64_t samples);
    // Controller milliseconds per wall millisecond.
    void SetSpeed(double speed);
    // Sets the controller clock ("TIME" and sample_number follow it).
    void SetClock(uint64_t samples);

  private:
    // Forced bytes of one record.
    struct ForcedField {
        size_t offset;
        size_t width;
        int64_t value;
    };

    // Advances the printer by `samples`, sending the records that fall due.
    void Advance(uint64_t samples);
    // Runs a command line of a controller on the model.
    CommandReply RunCommand(Controller controller, const std::string& line);
    // Builds a record with the forced fields (model lock held).
    RecordBytes BuildRecord(Controller controller) const;
    // Fills a snapshot (model lock held).
    PrinterSnapshot SnapshotLocked() const;
    // The endpoint or server of a controller.
    ControllerEndpoint& Endpoint(Controller controller) const;
    ControllerServer& Server(Controller controller) const;

    mutable std::mutex model_mutex_;                 // guards the model and forced fields
    mutable std::condition_variable model_changed_;  // signals WaitUntil
    std::unique_ptr<PrinterModel> model_;            // the printer
    std::unique_ptr<MainCommandSet> main_commands_;  // main command language
    std::unique_ptr<TemperatureCommandSet> temperature_commands_;  // temperature commands
    std::array<std::vector<ForcedField>, 2> forced_;               // per controller
    std::unique_ptr<ControllerEndpoint> main_endpoint_;            // main command side
    std::unique_ptr<ControllerEndpoint> temperature_endpoint_;     // temperature command side
    std::unique_ptr<ControllerServer> main_server_;                // main TCP side
    std::unique_ptr<ControllerServer> temperature_server_;         // temperature TCP side
    std::unique_ptr<ControllerClock> clock_;                       // drives Advance
};

}  // namespace sim
