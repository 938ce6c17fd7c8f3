// Cuts a TCP byte stream into the texts of top-level JSON objects (and
// arrays). A pure state machine: bytes in, complete texts out, no I/O.
//
// It follows JSON strings and escapes, so braces inside strings do not count;
// keeps an unfinished value across reads; skips white space and stray bytes
// between values; and drops a value larger than the maximum size or nested
// deeper than the maximum depth, resynchronising on the next one.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class MessageFramer {
  public:
    // Receives each complete value text, in stream order.
    using MessageSink = std::function<void(std::string&&)>;
    // Receives one line of text describing input that was dropped.
    using DropSink = std::function<void(const std::string&)>;

    static constexpr std::size_t kDefaultMaxMessageSize = 16 * 1024 * 1024;
    // No command needs more than a few levels; anything much deeper is not
    // worth the stack that walking it would take.
    static constexpr int kDefaultMaxDepth = 512;
    // Marks the bytes at which a scan stops.
    using StopTable = std::array<bool, 256>;

    explicit MessageFramer(std::size_t max_message_size = kDefaultMaxMessageSize,
                           int max_depth = kDefaultMaxDepth);

    // Consumes `bytes`; calls `on_message` for every value completed by them.
    // Stray bytes outside values and oversized or too deep values are reported
    // through `on_drop`, once per run of stray bytes and once per dropped value.
    void Feed(std::string_view bytes, const MessageSink& on_message, const DropSink& on_drop);

    // Bytes of the unfinished value currently held.
    std::size_t Pending() const { return current_.size(); }

  private:
    enum class State { kBetween, kInValue, kInString, kInEscape };
    // Why the value in progress is being dropped, if it is.
    enum class Drop { kNone, kOversized, kTooDeep };

    void ConsumeBetween(char byte, const DropSink& on_drop);
    void ConsumeInValue(char byte, const MessageSink& on_message, const DropSink& on_drop);
    void ReportStray(const DropSink& on_drop);
    // Appends bytes from `at` up to the first stop byte; returns where it stopped.
    std::size_t AppendUntil(std::string_view bytes, std::size_t at, const StopTable& stops);
    void Append(char byte);
    void AppendRun(std::string_view run);
    void Finish(const MessageSink& on_message, const DropSink& on_drop);
    // Stops storing the value in progress; its structure is still followed.
    void StartDropping(Drop reason);

    std::size_t max_message_size_;
    int max_depth_;
    State state_ = State::kBetween;
    int depth_ = 0;
    Drop drop_ = Drop::kNone;
    std::size_t dropped_bytes_ = 0;
    std::size_t stray_bytes_ = 0;
    std::string current_;
};
