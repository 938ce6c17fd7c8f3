#include "GCodeManager.h"

#include "AxisModes.h"
#include "DataRecordWatcher.h"
#include "MainConnection.h"

#include <sys/stat.h>

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

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file (not a directory) for reading.
File OpenForReading(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    struct stat status {};
    if (file && (fstat(fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode))) {
        file.reset();
    }
    return file;
}

// The number of line feeds of a regular file, read ahead so the lines can be
// stored without regrowing; 0 for other files, which cannot be read twice.
std::size_t CountLineFeeds(std::FILE* file, char* chunk) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    std::size_t count = 0;
    std::size_t read = 0;
    while ((read = std::fread(chunk, 1, kReadChunk, file)) > 0) {
        count += static_cast<std::size_t>(std::count(chunk, chunk + read, '\n'));
    }
    if (std::ferror(file) || std::fseek(file, 0, SEEK_SET) != 0) {
        std::clearerr(file);
        std::rewind(file);
        return 0;
    }
    return count;
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

void GCodeManager::LoadFile(std::string path) {
    const File file = OpenForReading(path);
    if (!file) {
        std::cerr << "Error opening the file" << std::endl;
    }
    // Release the previous file's lines before the next one is read.
    std::vector<GCode>().swap(lines_);
    if (!file) {
        return;
    }
    std::unique_ptr<char[]> chunk(new char[kReadChunk]);
    try {
        lines_.reserve(CountLineFeeds(file.get(), chunk.get()) + 1);
    } catch (const std::bad_alloc&) {
        // A file of mostly blank lines may count more lines than memory holds;
        // its non-empty lines are stored as they come.
    }
    std::string carry;  // the start of a line that runs past the chunk read
    uint32_t line_number = 0;
    auto add_line = [this, &line_number](std::string_view text) {
        ++line_number;
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        GCode line = GCode::FromText(text, line_number);
        if (!line.IsEmpty()) {
            lines_.push_back(std::move(line));
        }
    };
    std::size_t read = 0;
    while ((read = std::fread(chunk.get(), 1, kReadChunk, file.get())) > 0) {
        std::string_view rest(chunk.get(), read);
        for (std::size_t end = rest.find('\n'); end != std::string_view::npos;
             end = rest.find('\n')) {
            if (carry.empty()) {
                add_line(rest.substr(0, end));
            } else {
                carry.append(rest.substr(0, end));
                add_line(carry);
                carry.clear();
            }
            rest.remove_prefix(end + 1);
        }
        carry.append(rest);
    }
    if (std::ferror(file.get())) {
        std::cerr << "Error reading the file" << std::endl;
    }
    // The last line has no line feed; a carriage return there is part of it.
    if (!carry.empty()) {
        ++line_number;
        GCode line = GCode::FromText(carry, line_number);
        if (!line.IsEmpty()) {
            lines_.push_back(std::move(line));
        }
    }
}
