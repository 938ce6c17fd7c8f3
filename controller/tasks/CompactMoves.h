// The moves of a linear group in the order of their lines, packed: a byte of
// flags, then only the values the line gives, and the feed only where it
// changes. A group of a whole print keeps its moves so until it feeds them.
#pragma once

#include "MoveValues.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CompactMoves {
  public:
    // Reads the moves in order, from the first.
    class Reader {
      public:
        explicit Reader(const CompactMoves& moves) : moves_(&moves) {}
        bool AtEnd() const { return index_ == moves_->count_; }
        // The index of the move that Next returns.
        size_t Index() const { return index_; }
        MoveValues Next();

      private:
        const CompactMoves* moves_;
        size_t index_ = 0;
        size_t offset_ = 0;
        double feed_ = 0.0;
    };

    void Append(const MoveValues& move);
    size_t Size() const { return count_; }
    // Gives back the room that growing left unused.
    void ShrinkToFit() { bytes_.shrink_to_fit(); }

  private:
    static constexpr uint8_t kFeedChanged = 1u << MoveValues::kAxes;

    void AppendDouble(double value);

    std::vector<uint8_t> bytes_;
    size_t count_ = 0;
    double last_feed_ = 0.0;
};
