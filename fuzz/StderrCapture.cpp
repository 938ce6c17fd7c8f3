#include "StderrCapture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

StderrCapture::StderrCapture() : buffer_(*this), original_(std::cerr.rdbuf(&buffer_)) {}

StderrCapture::~StderrCapture() {
    std::cerr.rdbuf(original_);
}

void StderrCapture::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_ = 0;
    kept_.clear();
}

std::size_t StderrCapture::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string StderrCapture::Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_;
}

bool StderrCapture::Contains(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // A plain loop rather than find, which ends in memcmp: the fuzzer watches
    // memcmp's arguments and would learn the needle, write it into its inputs
    // and see it echoed back in the diagnostic lines that quote them.
    for (std::size_t at = 0; at + needle.size() <= kept_.size(); ++at) {
        std::size_t matched = 0;
        while (matched < needle.size() && kept_[at + matched] == needle[matched]) {
            ++matched;
        }
        if (matched == needle.size()) {
            return true;
        }
    }
    return false;
}

void StderrCapture::Fail(const std::string& verdict) const {
    // Straight to the file descriptor: std::cerr still points here.
    const std::string text = Text();
    std::fprintf(stderr, "--- standard error of the input (%zu lines) ---\n%s\n--- %s\n", Lines(),
                 text.c_str(), verdict.c_str());
    std::fflush(stderr);
    std::abort();
}

void StderrCapture::Append(const char* text, std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_ += static_cast<std::size_t>(std::count(text, text + count, '\n'));
    if (kept_.size() < kMaxKept) {
        kept_.append(text, std::min(count, kMaxKept - kept_.size()));
    }
}

StderrCapture::Buffer::int_type StderrCapture::Buffer::overflow(int_type ch) {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
        const char byte = traits_type::to_char_type(ch);
        owner_.Append(&byte, 1);
    }
    return traits_type::not_eof(ch);
}

std::streamsize StderrCapture::Buffer::xsputn(const char* text, std::streamsize count) {
    owner_.Append(text, static_cast<std::size_t>(count));
    return count;
}
