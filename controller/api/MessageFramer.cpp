#include "MessageFramer.h"

namespace {

bool IsJsonWhiteSpace(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

}  // namespace

MessageFramer::MessageFramer(std::size_t max_message_size) : max_message_size_(max_message_size) {}

void MessageFramer::Feed(std::string_view bytes, const MessageSink& on_message,
                         const DropSink& on_drop) {
    for (const char byte : bytes) {
        switch (state_) {
            case State::kBetween:
                ConsumeBetween(byte, on_drop);
                break;
            case State::kInValue:
                ConsumeInValue(byte, on_message, on_drop);
                break;
            case State::kInString:
                Append(byte);
                if (byte == '\\') {
                    state_ = State::kInEscape;
                } else if (byte == '"') {
                    state_ = State::kInValue;
                }
                break;
            case State::kInEscape:
                Append(byte);
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
        ++depth_;
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
    if (oversized_) {
        ++oversized_bytes_;
        return;
    }
    if (current_.size() >= max_message_size_) {
        // Keep following the structure to find the value's end, but stop
        // storing it: the value is dropped whole.
        oversized_ = true;
        oversized_bytes_ = current_.size() + 1;
        std::string().swap(current_);
        return;
    }
    current_.push_back(byte);
}

void MessageFramer::Finish(const MessageSink& on_message, const DropSink& on_drop) {
    state_ = State::kBetween;
    depth_ = 0;
    if (oversized_) {
        on_drop("Dropped a message of " + std::to_string(oversized_bytes_) +
                " bytes, larger than the maximum of " + std::to_string(max_message_size_));
        oversized_ = false;
        oversized_bytes_ = 0;
        return;
    }
    std::string message;
    message.swap(current_);
    on_message(std::move(message));
}
