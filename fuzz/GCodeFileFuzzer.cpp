// Fuzz target: a whole G-code file, verified as "verifyGcode" does and loaded
// as "loadGcode" does; every move group of the program then plans its
// segments against a controller that stands still at zero.
#include "GCodeManager.h"
#include "MainConnection.h"
#include "StderrCapture.h"
#include "T_LinearGroup.h"
#include "TaskManager.h"
#include "Utf8Text.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include <boost/pointer_cast.hpp>

namespace {

// Per physical line of the file; see the line target.
constexpr std::size_t kMaxDiagnosticLinesPerLine = 20;

class FileFuzzer {
  public:
    FileFuzzer() {
        const char* folder = std::getenv("TMPDIR");
        path_ = std::string(folder != nullptr ? folder : "/tmp") + "/gcode_file_fuzzer." +
                std::to_string(getpid()) + ".gcode";
        MainConnection::GetInstance().Connect("still");
    }
    ~FileFuzzer() { std::remove(path_.c_str()); }
    FileFuzzer(const FileFuzzer&) = delete;
    FileFuzzer& operator=(const FileFuzzer&) = delete;

    void Run(const std::string& bytes) {
        capture_.Reset();
        WriteFile(bytes);
        const std::size_t physical_lines = std::count(bytes.begin(), bytes.end(), '\n') + 1;
        const bool utf8 = IsValidUtf8(bytes);
        auto& manager = GCodeManager::GetInstance();
        // Each input starts from the built-in feed rate; F is modal across loads.
        manager.SetFeedrate(1000.0);

        const nlohmann::json verified = manager.VerifyFile(path_);
        if (!DumpsCleanly(verified, utf8)) {
            capture_.Fail("the verification of a valid UTF-8 file cannot be dumped");
        }
        if (capture_.Lines() > kMaxDiagnosticLinesPerLine * physical_lines + 1) {
            capture_.Fail("verifying the file wrote too many diagnostic lines");
        }
        try {
            manager.LoadProgram(path_, true);
            StartGroups(manager);
        } catch (const std::exception&) {
            // A value that is no number, a move without a count: the
            // specified failures of a load or of a group.
        }
        // Drops the program and every watch its groups registered.
        TaskManager::GetInstance().Stop();
    }

  private:
    void WriteFile(const std::string& bytes) {
        std::ofstream file(path_, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file.flush()) {
            capture_.Fail("cannot write " + path_);
        }
    }

    static void StartGroups(GCodeManager& manager) {
        for (const auto& task : manager.GetProgramTasks()) {
            if (auto group = boost::dynamic_pointer_cast<T_LinearGroup>(task)) {
                try {
                    group->OnStart();
                } catch (const std::exception&) {
                    // Cancels that group when the worker runs it.
                }
            }
        }
    }

    StderrCapture capture_;
    std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static FileFuzzer fuzzer;
    fuzzer.Run(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
