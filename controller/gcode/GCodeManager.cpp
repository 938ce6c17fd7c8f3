#include "GCodeManager.h"

#include "AxisModes.h"
#include "DataRecordWatcher.h"
#include "MainConnection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

namespace {

// Bytes read from a G-code file at a time.
constexpr std::size_t kReadChunk = 1 << 20;

// Every number of the settings object arrives as text.
double ReadSetting(const nlohmann::json& settings, const char* key) {
    return std::stod(settings.at(key).get<std::string>());
}

// Closes a file descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

// Reads up to `size` bytes; 0 at the end, -1 on an error.
ssize_t ReadSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t read_bytes = read(fd, buffer, size);
        if (read_bytes >= 0 || errno != EINTR) {
            return read_bytes;
        }
    }
}

}  // namespace

GCodeManager& GCodeManager::GetInstance() {
    static GCodeManager instance;
    return instance;
}

GCodeManager::GCodeManager()
    : resolution_{{"X", 400.0}, {"Y", 400.0}, {"Z", 1600.0}, {"E", 400.0}},
      forward_limits_{{"X", 99200}, {"Y", 96500}, {"Z", 334500}},
      absolute_mode_{{"X", true}, {"Y", true}, {"Z", true}, {"E", false}} {
    BuildHandlerTable();
    // The status telemetry converts counts to millimetres with these resolutions.
    DataRecordWatcher::GetInstance().SetResolutionSource(
        [this](const std::string& axis) { return GetAxisResolution(axis); });
    // The move maths asks whether an axis takes targets or distances.
    AxisModes::GetInstance().SetAbsoluteAxisSource(
        [this](const std::string& axis) { return IsAbsoluteAxis(axis); });
}

GCodeManager::~GCodeManager() {
    // The watcher was made first and so outlives the manager: it must stop
    // calling into it before the manager goes.
    DataRecordWatcher::GetInstance().SetResolutionSource(nullptr);
    AxisModes::GetInstance().SetAbsoluteAxisSource(nullptr);
}

void GCodeManager::LoadSettings(const json& settings) {
    SetResolutionFromSetting(settings, "xCounts", "X");
    SetResolutionFromSetting(settings, "yCounts", "Y");
    SetResolutionFromSetting(settings, "zCounts", "Z");
    SetResolutionFromSetting(settings, "eCounts", "E");
    SetLimitFromSetting(settings, "xExtents", "X");
    SetLimitFromSetting(settings, "yExtents", "Y");
    SetLimitFromSetting(settings, "zExtents", "Z");
    feedrate_ = ReadSetting(settings, "rapidSpeed") * 60.0;
    SendForwardLimits();
    const json& units = settings.at("globalUnits");
    units_ = (units.is_string() && units.get_ref<const std::string&>() == "mm") ? 0 : 1;
}

void GCodeManager::SetResolutionFromSetting(const json& settings, const char* key,
                                            const std::string& axis) {
    const double counts_per_mm = ReadSetting(settings, key);
    // A negative (or not-a-number) resolution would turn every limit and
    // position upside down; it is refused before it takes effect.
    if (!(counts_per_mm >= 0.0)) {
        throw std::out_of_range(std::string(key) + " must not be negative");
    }
    SetAxisResolution(axis, counts_per_mm);
}

void GCodeManager::SetLimitFromSetting(const json& settings, const char* key,
                                       const std::string& axis) {
    const double extent_mm = ReadSetting(settings, key);
    const double counts = GetAxisResolution(axis) * extent_mm;
    // A negative or oversized product has no unsigned 32-bit count: converting
    // it would wrap into a limit far beyond the axis.
    if (!(extent_mm >= 0.0) || !(counts >= 0.0) || !(counts < 4294967296.0)) {
        throw std::out_of_range(std::string(key) + " gives a forward limit outside 0 to " +
                                "4294967295 counts");
    }
    SetForwardLimit(axis, static_cast<uint32_t>(counts));
}

void GCodeManager::SendForwardLimits() {
    MainConnection& connection = MainConnection::GetInstance();
    connection.CommandIfEnabled("FLA=" + std::to_string(GetForwardLimit("X")));
    connection.CommandIfEnabled("FLB=" + std::to_string(GetForwardLimit("Y")));
    connection.CommandIfEnabled("FLC=" + std::to_string(GetForwardLimit("Z")));
}

void GCodeManager::SetAxisResolution(const std::string& axis, double counts_per_mm) {
    boost::mutex::scoped_lock lock(settings_mutex_);
    resolution_[axis] = counts_per_mm;
}

void GCodeManager::SetForwardLimit(const std::string& axis, uint32_t limit) {
    boost::mutex::scoped_lock lock(settings_mutex_);
    forward_limits_[axis] = limit;
}

void GCodeManager::SetFeedrate(double feedrate) {
    feedrate_ = feedrate;
}

void GCodeManager::SetUnits(const std::string& units) {
    units_ = units == "mm" ? 0 : 1;
}

double GCodeManager::GetAxisResolution(const std::string& axis) {
    boost::mutex::scoped_lock lock(settings_mutex_);
    return resolution_[axis];
}

bool GCodeManager::IsAbsoluteAxis(const std::string& axis) {
    boost::mutex::scoped_lock lock(settings_mutex_);
    return absolute_mode_[axis];
}

uint32_t GCodeManager::GetForwardLimit(const std::string& axis) {
    boost::mutex::scoped_lock lock(settings_mutex_);
    return forward_limits_[axis];
}

nlohmann::json GCodeManager::GetBedLevelSettings(bool enabled, bool recalculate) {
    json settings = json::object();
    settings["xlimit"] = GetForwardLimit("X");
    settings["ylimit"] = GetForwardLimit("Y");
    settings["xregions"] = xregions_;
    settings["yregions"] = yregions_;
    settings["samples"] = samples_;
    settings["enabled"] = enabled;
    settings["recalculate"] = recalculate;
    return settings;
}

GCodeManager::FileRead GCodeManager::ReadLines(
    const std::string& path, const std::function<void(std::string_view, uint32_t)>& on_line) {
    // Only a regular file is read, and only as far as it reached when it was
    // opened: a device, a pipe or a file that grows while it is read would
    // hold the command thread for ever. The open does not wait for a writer.
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.Get() < 0 || fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return FileRead::kNotOpened;
    }
    FileRead outcome = FileRead::kWhole;
    std::unique_ptr<char[]> chunk(new char[kReadChunk]);
    std::string carry;  // the start of a line that runs past the chunk read
    uint32_t line_number = 0;
    auto end_line = [&](std::string_view text) {
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        on_line(text, ++line_number);
    };
    auto left = static_cast<std::size_t>(status.st_size);
    while (left > 0) {
        const ssize_t read_bytes = ReadSome(file.Get(), chunk.get(), std::min(left, kReadChunk));
        if (read_bytes < 0) {
            std::cerr << "Error reading the file" << std::endl;
            outcome = FileRead::kFailed;
            break;
        }
        if (read_bytes == 0) {
            outcome = FileRead::kCutShort;
            break;
        }
        left -= static_cast<std::size_t>(read_bytes);
        std::string_view rest(chunk.get(), static_cast<std::size_t>(read_bytes));
        for (std::size_t end = rest.find('\n'); end != std::string_view::npos;
             end = rest.find('\n')) {
            if (carry.empty()) {
                end_line(rest.substr(0, end));
            } else {
                carry.append(rest.substr(0, end));
                end_line(carry);
                carry.clear();
            }
            rest.remove_prefix(end + 1);
        }
        carry.append(rest);
    }
    // The last line has no line feed; a carriage return there is part of it.
    if (!carry.empty()) {
        on_line(carry, ++line_number);
    }
    return outcome;
}

void GCodeManager::LoadFile(std::string path) {
    // Release the previous file's lines before the next one is read.
    std::vector<GCode>().swap(lines_);
    const FileRead read = ReadLines(path, [this](std::string_view text, uint32_t line_number) {
        GCode line = GCode::FromText(text, line_number);
        if (!line.IsEmpty()) {
            lines_.push_back(std::move(line));
        }
    });
    // What was read of a file cut short or failing is verified all the same.
    if (read == FileRead::kNotOpened) {
        std::cerr << "Error opening the file" << std::endl;
    }
}
