#include "MessageFramer.h"

#include <algorithm>

namespace {

constexpr MessageFramer::StopTable MakeStops(std::string_view stops) {
    MessageFramer::StopTable table{};
    for (const char byte : stops) {
        table[static_cast<unsigned char>(byte)] = true;
    }
    return table;
}

// The bytes that change the framing state inside a value and inside a string.
constexpr auto kValueStops = MakeStops("\"{}[]");
constexpr auto kStringStops = MakeStops("\"\\");

bool IsJsonWhiteSpace(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

}  // namespace

MessageFramer::MessageFramer(std::size_t max_message_size, int max_depth)
    : max_message_size_(max_message_size), max_depth_(max_depth) {}

void MessageFramer::Feed(std::string_view bytes, const MessageSink& on_message,
                         const DropSink& on_drop) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        switch (state_) {
            case State::kBetween:
                ConsumeBetween(bytes[at++], on_drop);
                break;
            case State::kInValue:
                // Copy the run up to the next byte that matters in one go.
                at = AppendUntil(bytes, at, kValueStops);
                if (at < bytes.size()) {
                    ConsumeInValue(bytes[at++], on_message, on_drop);
                }
                break;
            case State::kInString:
                at = AppendUntil(bytes, at, kStringStops);
                if (at < bytes.size()) {
                    const char byte = bytes[at++];
                    Append(byte);
                    state_ = byte == '\\' ? State::kInEscape : State::kInValue;
                }
                break;
            case State::kInEscape:
                Append(bytes[at++]);
                state_ = State::kInString;
                break;
        }
    }
    // Stray bytes are reported per read, so a client typing garbage sees one
    // line per write rather than one at the next object.
    if (state_ == State::kBetween) {
        ReportStray(on_drop);
    }
}

std::size_t MessageFramer::AppendUntil(std::string_view bytes, std::size_t at,
                                       const StopTable& stops) {
    std::size_t end = at;
    while (end < bytes.size() && !stops[static_cast<unsigned char>(bytes[end])]) {
        ++end;
    }
    AppendRun(bytes.substr(at, end - at));
    return end;
}

void MessageFramer::ConsumeBetween(char byte, const DropSink& on_drop) {
    if (byte == '{' || byte == '[') {
        ReportStray(on_drop);
        state_ = State::kInValue;
        depth_ = 1;
        Append(byte);
    } else if (!IsJsonWhiteSpace(byte)) {
        ++stray_bytes_;
    }
}

void MessageFramer::ConsumeInValue(char byte, const MessageSink& on_message,
                                   const DropSink& on_drop) {
    Append(byte);
    if (byte == '"') {
        state_ = State::kInString;
    } else if (byte == '{' || byte == '[') {
        if (++depth_ > max_depth_ && drop_ == Drop::kNone) {
            StartDropping(Drop::kTooDeep);
        }
    } else if ((byte == '}' || byte == ']') && --depth_ == 0) {
        Finish(on_message, on_drop);
    }
}

void MessageFramer::ReportStray(const DropSink& on_drop) {
    if (stray_bytes_ == 0) {
        return;
    }
    on_drop("Dropped " + std::to_string(stray_bytes_) + " bytes outside any JSON object");
    stray_bytes_ = 0;
}

void MessageFramer::Append(char byte) {
    AppendRun(std::string_view(&byte, 1));
}

void MessageFramer::AppendRun(std::string_view run) {
    if (drop_ == Drop::kNone && current_.size() + run.size() > max_message_size_) {
        StartDropping(Drop::kOversized);
    }
    if (drop_ != Drop::kNone) {
        dropped_bytes_ += run.size();
        return;
    }
    current_.append(run);
}

void MessageFramer::StartDropping(Drop reason) {
    // Keep following the structure to find the value's end, but stop storing
    // it: the value is dropped whole.
    drop_ = reason;
    dropped_bytes_ = current_.size();
    std::string().swap(current_);
}

void MessageFramer::Finish(const MessageSink& on_message, const DropSink& on_drop) {
    state_ = State::kBetween;
    depth_ = 0;
    if (drop_ == Drop::kOversized) {
        on_drop("Dropped a message of " + std::to_string(dropped_bytes_) +
                " bytes, larger than the maximum of " + std::to_string(max_message_size_));
    } else if (drop_ == Drop::kTooDeep) {
        on_drop("Dropped a message of " + std::to_string(dropped_bytes_) +
                " bytes nested deeper than " + std::to_string(max_depth_) + " levels");
    }
    if (drop_ != Drop::kNone) {
        drop_ = Drop::kNone;
        dropped_bytes_ = 0;
        return;
    }
    // A small value is copied out so the buffer's capacity serves the next
    // one; a large one is handed over whole rather than copied and kept.
    constexpr std::size_t kKeptCapacity = 64 * 1024;
    if (current_.capacity() > kKeptCapacity) {
        std::string message;
        message.swap(current_);
        on_message(std::move(message));
        return;
    }
    on_message(std::string(current_));
    current_.clear();
}
