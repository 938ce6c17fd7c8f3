#include "CompactMoves.h"

#include <cstring>

void CompactMoves::AppendDouble(double value) {
    const std::size_t end = bytes_.size();
    bytes_.resize(end + sizeof value);
    std::memcpy(bytes_.data() + end, &value, sizeof value);
}

void CompactMoves::Append(const MoveValues& move) {
    // Compared bit for bit, so that a NaN or a negative zero is kept as given.
    const bool feed_changed =
        count_ == 0 || std::memcmp(&move.feed, &last_feed_, sizeof last_feed_) != 0;
    bytes_.push_back(static_cast<uint8_t>(move.given | (feed_changed ? kFeedChanged : 0u)));
    for (int i = 0; i < MoveValues::kAxes; ++i) {
        if (move.Gives(i)) {
            AppendDouble(move.axis[i]);
        }
    }
    if (feed_changed) {
        AppendDouble(move.feed);
        last_feed_ = move.feed;
    }
    ++count_;
}

MoveValues CompactMoves::Reader::Next() {
    const uint8_t* bytes = moves_->bytes_.data();
    auto read_double = [&] {
        double value = 0.0;
        std::memcpy(&value, bytes + offset_, sizeof value);
        offset_ += sizeof value;
        return value;
    };
    MoveValues move;
    const uint8_t flags = bytes[offset_++];
    for (int i = 0; i < MoveValues::kAxes; ++i) {
        if ((flags >> i) & 1u) {
            move.Set(i, read_double());
        }
    }
    if (flags & kFeedChanged) {
        feed_ = read_double();
    }
    move.feed = feed_;
    ++index_;
    return move;
}
