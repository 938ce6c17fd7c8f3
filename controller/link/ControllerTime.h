// A moment of the main controller's clock as the server can compare it: the
// record stream it was seen on and the samples counted on that stream,
// unwrapped, so that no comparison goes wrong however long a print runs.
#pragma once

#include <cstdint>

class ControllerTime {
  public:
    // The beginning of time: no stream, sample 0. Nothing is after it but
    // later samples or other streams, and it is after nothing.
    ControllerTime() = default;
    ControllerTime(uint32_t stream, int64_t samples) : stream_(stream), samples_(samples) {}

    // Numbers the stream: one whose clock is not continuous with the one
    // before it (an open after a failure, a controller whose clock started
    // again) counts from a new, higher number.
    uint32_t Stream() const { return stream_; }
    // Samples (milliseconds of controller time) counted on the stream.
    int64_t Samples() const { return samples_; }

    // Later than `other`: of a later stream, or more samples on the same one.
    // A record of a newer stream shows every command sent before it opened.
    bool IsAfter(const ControllerTime& other) const {
        return stream_ != other.stream_ ? stream_ > other.stream_ : samples_ > other.samples_;
    }
    // `samples` later on the same stream.
    ControllerTime Plus(int64_t samples) const { return {stream_, samples_ + samples}; }

    // The time of the next record on this stream, whose 16-bit sample number
    // is `sample_number`: records come in order, so it lies 0 to 65535
    // samples on.
    ControllerTime Next(uint16_t sample_number) const;
    // The time on this stream whose low bits are those of the clock value
    // `clock` ("MG TIME", or a sample number) nearest to this one: within
    // half a wrap of 16 bits (32.7 s) either way.
    ControllerTime Nearest(uint32_t clock) const;

    bool operator==(const ControllerTime& other) const {
        return stream_ == other.stream_ && samples_ == other.samples_;
    }
    bool operator!=(const ControllerTime& other) const { return !(*this == other); }

  private:
    uint32_t stream_ = 0;
    int64_t samples_ = 0;
};
