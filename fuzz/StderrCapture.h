// Takes std::cerr over while it lives: the lines that the code under test
// writes are counted and the first of them kept, so a fuzz target can judge
// what was reported instead of flooding the terminal. Safe from any thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <streambuf>
#include <string>

class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Forgets everything written so far.
    void Reset();
    // Lines ended since the last Reset.
    std::size_t Lines() const;
    // The text written since the last Reset, cut after a few kilobytes.
    std::string Text() const;
    // True when the text kept holds `needle`.
    bool Contains(const std::string& needle) const;
    // Writes the text kept and `verdict` to the real standard error, then aborts,
    // which the fuzzer reports as a crash with the input that caused it.
    [[noreturn]] void Fail(const std::string& verdict) const;

  private:
    class Buffer : public std::streambuf {
      public:
        explicit Buffer(StderrCapture& owner) : owner_(owner) {}

      protected:
        int_type overflow(int_type ch) override;
        std::streamsize xsputn(const char* text, std::streamsize count) override;

      private:
        StderrCapture& owner_;
    };

    void Append(const char* text, std::size_t count);

    static constexpr std::size_t kMaxKept = 16 * 1024;

    mutable std::mutex mutex_;
    std::size_t lines_ = 0;
    std::string kept_;
    Buffer buffer_;
    std::streambuf* original_;
};
