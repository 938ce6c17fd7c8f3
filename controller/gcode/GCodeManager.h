// The process-wide G-code front end: the machine settings that turn
// millimetres into controller counts, validation of lines and files, and the
// lines of the last file read.
#pragma once

#include "FileModes.h"
#include "GCode.h"
#include "GCodeHandler.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <nlohmann/json.hpp>

class T_LinearGroup;
class Task;

class GCodeManager {
  public:
    using json = nlohmann::json;

    // The one instance, created on first use.
    static GCodeManager& GetInstance();

    GCodeManager(const GCodeManager&) = delete;
    GCodeManager& operator=(const GCodeManager&) = delete;

    // Applies a "loadSettings" object step by step; throws at the first bad
    // value, keeping what was applied before it.
    void LoadSettings(const json& settings);
    // Counts per millimetre of an axis letter, adding the letter when new.
    void SetAxisResolution(const std::string& axis, double counts_per_mm);
    // Forward travel limit in counts of an axis letter; sends nothing.
    void SetForwardLimit(const std::string& axis, uint32_t limit);
    // Modal feed rate in millimetres per minute.
    void SetFeedrate(double feedrate);
    // 0 for exactly "mm", 1 for any other text.
    void SetUnits(const std::string& units);
    // Counts per millimetre of an axis; safe from the record threads.
    double GetAxisResolution(const std::string& axis);
    // True when the axis takes target positions rather than distances.
    bool IsAbsoluteAxis(const std::string& axis);
    // The parameters of a bed-levelling task from the current settings.
    json GetBedLevelSettings(bool enabled, bool recalculate);
    // The modal feed rate in millimetres per minute.
    double GetFeedrate() const { return feedrate_; }
    // 0 when the UI works in millimetres, 1 otherwise.
    int32_t GetUnits() const { return units_; }
    // Forward travel limit in counts of an axis, adding the letter when new.
    uint32_t GetForwardLimit(const std::string& axis);

    // Errors and warnings of one line, with its text and line number.
    json ValidateLine(const GCode& line);
    // {"results": ...} for every loaded line with a finding, or null.
    json ValidateProgram();
    // Loads a file and validates all of it.
    json VerifyFile(const std::string& path);
    // The line's command is one of `codes`, also with one or two zeros after
    // the first character.
    bool MatchesCode(GCode line, std::vector<std::string> codes);
    // The same for a command word.
    static bool CommandMatches(std::string_view command, const std::vector<std::string>& codes);
    // The line is a G0 or G1 move.
    bool IsLinearMove(const GCode& line);

    // The command is one that validation passes over.
    bool IsIgnoredCode(const GCode& line);
    // Errors for codes that would switch the fixed axis modes; true when one was added.
    bool CheckModes(const GCode& line, json& errors);
    // Warns about a command missing from the code table; false then.
    bool CheckKnown(const GCode& line, json& warnings);
    // Warns about a known code that is not carried out; false then.
    bool CheckSupported(const GCode& line, json& warnings);
    // Unexpected, ignored and wrongly typed parameters of a catalogue entry.
    void CheckParameters(const GCode& line, const json& spec, json& warnings, json& errors);
    // Letters that another given letter overrides.
    void CheckParameterPrecedence(const GCode& line, const json& spec, json& warnings);
    // Groups of which the line must give at least one letter.
    void CheckRequiredGroups(const GCode& line, const json& spec, json& errors);
    // Groups without which the line does nothing.
    void CheckIgnoredIfMissing(const GCode& line, const json& spec, json& warnings);

    // How far a file was read.
    enum class FileRead { kWhole, kNotOpened, kFailed, kCutShort };
    // Reads a regular file's lines in order with their physical numbers, as
    // far as the file reached when it was opened.
    static FileRead ReadLines(const std::string& path,
                              const std::function<void(std::string_view, uint32_t)>& on_line);

    // Replaces the loaded lines with the non-empty lines of a file.
    void LoadFile(std::string path);
    // The non-empty lines of the last file read.
    const std::vector<GCode>& GetLines() const { return lines_; }
    // Turns a file into a chain of tasks and hands it to the task manager;
    // a program loaded without `execute` stops before its first task. Null;
    // when the file could not be read whole, the reason, and nothing is queued.
    json LoadProgram(std::string path, bool execute);
    // Turns one supported line into its task: queued in the program being
    // loaded (from a file) or run at once (terminal). False when no task was
    // made for a line that needs one.
    bool ProcessLine(const GCode& line, bool from_file);
    // The top-level tasks of the program loaded last, in chain order.
    const std::vector<boost::shared_ptr<Task>>& GetProgramTasks() const { return program_tasks_; }

    // --- task trees of the supported codes ---
    // The parameters of a line's T_GCode: its text and, for file lines, its number.
    json MakeTaskJson(const GCode& line);
    // The T_LinearGroup of every pending G0/G1 line, which it takes out of
    // the queue.
    boost::shared_ptr<Task> MakeLinearGroupTask();
    // A line's stepper motors on (T_ServoHere) or off (T_MotorOff), per axis.
    boost::shared_ptr<Task> MakeStepperTask(GCode line, bool enable);
    // A heater set-point; the line shows the set-point task's description.
    boost::shared_ptr<Task> MakeSetTemperatureTask(std::string heater, double temperature,
                                                   GCode line);
    // A wait until a heater reaches the target (at least it, with heat_only).
    boost::shared_ptr<Task> MakeWaitForTemperatureTask(std::string heater, double target,
                                                       bool heat_only, GCode line);
    // A fan speed (0 to 255) with its percentage.
    boost::shared_ptr<Task> MakeFanTask(int fan, double speed, GCode line);
    // G4: a dwell of S seconds or P milliseconds.
    boost::shared_ptr<Task> Handle_G4(GCode line);
    // G28: homing of the X, Y, Z axes on the line, or of all three.
    boost::shared_ptr<Task> Handle_G28(GCode line);
    // Levels the bed with the current grid, enabled and recalculated.
    boost::shared_ptr<Task> Handle_G29(GCode line);
    // G90: shown only; the axes keep their fixed modes.
    boost::shared_ptr<Task> Handle_G90(GCode line);
    // G92: the axes on the line take the given positions.
    boost::shared_ptr<Task> Handle_G92(GCode line);
    // M17: stepper motors on.
    boost::shared_ptr<Task> Handle_M17(GCode line);
    // M18 and M84: stepper motors off.
    boost::shared_ptr<Task> Handle_M18(GCode line);
    // M104: the hot end's set-point.
    boost::shared_ptr<Task> Handle_M104(GCode line);
    // M106: the part fan's speed; without S what M107 does.
    boost::shared_ptr<Task> Handle_M106(GCode line);
    // M107: the part fan off.
    boost::shared_ptr<Task> Handle_M107(GCode line);
    // M109: a wait for the hot end (S: at least, R: exactly).
    boost::shared_ptr<Task> Handle_M109(GCode line);
    // M140: the bed's set-point.
    boost::shared_ptr<Task> Handle_M140(GCode line);
    // M190: a wait for the bed (S: at least, R: exactly).
    boost::shared_ptr<Task> Handle_M190(GCode line);

  private:
    GCodeManager();
    ~GCodeManager();

    // Findings of one line, filled without building a result object.
    struct Findings {
        json errors;
        json warnings;
    };
    void Validate(const GCode& line, Findings& findings);
    void SetResolutionFromSetting(const json& settings, const char* key, const std::string& axis);
    void SetLimitFromSetting(const json& settings, const char* key, const std::string& axis);
    void SendForwardLimits();
    // Fills handlers_ in table order.
    void BuildHandlerTable();
    // Appends a task to the chain of the program being loaded.
    void AddTaskToQueue(boost::shared_ptr<Task> task);
    // Turns one line of a file being loaded into its task or pending move.
    void LoadLine(const GCode& line);
    // Adds a G0/G1 line to the pending group: its values are read now, and F
    // sets the modal feed rate. On a value that is not a number the pending
    // moves are dropped and std::invalid_argument thrown.
    void AddPendingMove(const GCode::Words& words);
    // Makes the pending group unless there is one.
    void StartPendingGroup();
    // Forgets the program being loaded: none of it is queued, and none of
    // its moves stays behind for the next load.
    void DropProgram();
    // Builds the task of a line through its handler, or its error task.
    boost::shared_ptr<Task> MakeLineTask(const GCode& line, const GCodeHandler& entry);
    // The CANCELLED task that takes a line's place with `error`: the program
    // halts there, as its successor waits for a FINISHED predecessor.
    boost::shared_ptr<Task> MakeErrorTask(const GCode& line, const std::string& error);
    // Follows the file's mode lines ("M82", "M83", "G90", "G91").
    void FollowModes(const GCode& line, const GCode::Words& words);
    // A move of the file: pending, or the error task of a mode that would change it.
    void LoadMove(const GCode& line, const GCode::Words& words);
    // A T_GCode of the line with its description, ready for children.
    boost::shared_ptr<Task> MakeParent(const GCode& line, const std::string& description);

    // Guards the three axis maps: the record threads read resolutions while
    // the command thread may change them.
    mutable boost::mutex settings_mutex_;

    std::map<std::string, double> resolution_;
    std::map<std::string, uint32_t> forward_limits_;
    std::map<std::string, bool> absolute_mode_;
    int32_t units_ = 0;
    int32_t xregions_ = 2;
    int32_t yregions_ = 2;
    int32_t samples_ = 1;
    double feedrate_ = 1000.0;
    std::vector<boost::shared_ptr<Task>> program_tasks_;
    // The group of the pending G0/G1 lines, made with the first of them.
    boost::shared_ptr<T_LinearGroup> pending_group_;
    size_t pending_moves_ = 0;
    std::vector<GCodeHandler> handlers_;
    std::vector<GCode> lines_;
    bool breakpoint_pending_ = false;
    // The axis modes the file being loaded asks for.
    FileModes file_modes_;
};
