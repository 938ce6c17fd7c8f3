// Fuzz target: one G-code line as the terminal or a file hands it over:
// parsed, normalised, read and validated.
#include "GCode.h"
#include "GCodeManager.h"
#include "StderrCapture.h"
#include "Utf8Text.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// A line may report a few unreadable pieces, but never one line per piece.
constexpr std::size_t kMaxDiagnosticLines = 20;

bool SameLine(const GCode& a, const GCode& b) {
    return a.IsEmpty() == b.IsEmpty() && a.GetLine() == b.GetLine() &&
           a.GetCommand() == b.GetCommand() && a.GetParameters() == b.GetParameters() &&
           a.GetLineNumber() == b.GetLineNumber();
}

void CheckParse(const StderrCapture& capture, const std::string& text, const GCode& line) {
    if (!SameLine(line, GCode::FromText(text, 7))) {
        capture.Fail("the two constructors parse the line differently");
    }
    if (line.IsEmpty() &&
        (!line.GetLine().empty() || !line.GetCommand().empty() || !line.GetParameters().empty())) {
        capture.Fail("an empty line kept text");
    }
    const int lookups =
        int{line.IsSupported()} + int{line.IsKnownUnsupported()} + int{line.IsUnknown()};
    if (lookups != 1) {
        capture.Fail("not exactly one of supported, known unsupported and unknown");
    }
    // The value type keeps short lines inside itself and long ones on the heap.
    GCode copy = line;
    GCode moved = std::move(copy);
    copy = moved;
    moved = GCode(text + " ", 0);
    moved = std::move(copy);
    if (!SameLine(line, moved)) {
        capture.Fail("a copied or moved line changed");
    }
    for (const auto& [letter, value] : line.GetParameters()) {
        if (!line.HasParameter(letter)) {
            capture.Fail("a parameter of the map is not given");
        }
        try {
            line.GetParameter(letter);
        } catch (const std::invalid_argument&) {
            // A value that is not a number: the specified failure.
        }
    }
}

void CheckValidation(const StderrCapture& capture, const std::string& text, const GCode& line) {
    auto& manager = GCodeManager::GetInstance();
    const nlohmann::json result = manager.ValidateLine(line);
    if (!DumpsCleanly(result, IsValidUtf8(text))) {
        capture.Fail("the validation result of a valid UTF-8 line cannot be dumped");
    }
    manager.IsLinearMove(line);
    manager.MatchesCode(line, {"G0", "G1", "G28", "M104"});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Never destroyed: other exit-time destructors may still write to std::cerr.
    static StderrCapture* const capture = new StderrCapture;
    capture->Reset();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const GCode line(text, 7);
    if (capture->Lines() > kMaxDiagnosticLines) {
        capture->Fail("parsing one G-code line wrote too many diagnostic lines");
    }
    CheckParse(*capture, text, line);
    CheckValidation(*capture, text, line);
    return 0;
}
