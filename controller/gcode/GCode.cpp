#include "GCode.h"

#include "GCodeTables.h"
#include "Utilities.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <typeinfo>
#include <vector>

namespace {

constexpr std::string_view kBreakpoint = ";BREAKPOINT";

bool IsTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// The characters that end a word when a piece is read as one word.
bool EndsWord(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view TrimView(std::string_view text) {
    std::size_t first = 0;
    while (first < text.size() && IsTrimmed(text[first])) {
        ++first;
    }
    std::size_t last = text.size();
    while (last > first && IsTrimmed(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

std::string_view StripCommentView(std::string_view text) {
    return TrimView(text.substr(0, text.find(';')));
}

bool EqualsUpper(std::string_view text, std::string_view upper) {
    if (text.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (Upper(text[i]) != upper[i]) {
            return false;
        }
    }
    return true;
}

// Cuts the text into words as the text utilities' Split does on " ": pieces end
// at blanks, each piece is trimmed of blanks and tabs, and a non-blank piece
// gives its first whitespace-delimited word. Calls on_word(word) for each word
// and on_unread(piece) for each non-blank piece that gives none.
template <typename OnWord, typename OnUnread>
void ForEachWord(std::string_view text, OnWord&& on_word, OnUnread&& on_unread) {
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = position;
        while (end < text.size() && text[end] != ' ') {
            ++end;
        }
        std::size_t first = position;
        while (first < end && text[first] == '\t') {
            ++first;
        }
        std::size_t last = end;
        while (last > first && text[last - 1] == '\t') {
            --last;
        }
        if (first < last) {
            while (first < last && EndsWord(text[first])) {
                ++first;
            }
            std::size_t word_end = first;
            while (word_end < last && !EndsWord(text[word_end])) {
                ++word_end;
            }
            if (word_end == first) {
                on_unread(text.substr(position, end - position));
            } else {
                on_word(text.substr(first, word_end - first));
            }
        }
        position = end + 1;
    }
}

// Pieces of one line reported one by one; the rest are only counted, so that
// a line of millions of them cannot flood the error stream.
constexpr std::size_t kReportedPieces = 10;

std::size_t NormalizedSkip(std::string_view word) {
    std::size_t skip = 0;
    while (word.size() - 1 - skip >= 2 && word[1 + skip] == '0') {
        ++skip;
    }
    return skip;
}

// Reads the plain decimals that G-code is made of ("-12.5", "3", ".25") the
// way stream extraction does, without a stream: the whole text must be an
// optional sign, digits and at most one point, short enough that no range
// error is possible. False for anything else, which goes to the stream.
bool ReadPlainDecimal(std::string_view text, double* number) {
    constexpr std::size_t kLongest = 18;
    if (text.empty() || text.size() > kLongest) {
        return false;
    }
    std::size_t start = text[0] == '+' || text[0] == '-' ? 1 : 0;
    std::size_t digits = 0;
    std::size_t points = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            ++digits;
        } else if (text[i] == '.') {
            ++points;
        } else {
            return false;
        }
    }
    if (digits == 0 || points > 1) {
        return false;
    }
    // from_chars takes a minus sign but no plus sign.
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    const auto result = std::from_chars(first, text.data() + text.size(), *number);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

std::string GCode::Words::Command() const {
    std::string command;
    command.reserve(command_head.size() + command_tail.size());
    command.append(command_head).append(command_tail);
    return command;
}

bool GCode::Words::CommandIs(std::string_view code) const {
    return code.size() == command_head.size() + command_tail.size() &&
           code.substr(0, command_head.size()) == command_head &&
           code.substr(command_head.size()) == command_tail;
}

const GCode::Word* GCode::Words::Find(char letter) const {
    if (!Gives(letter)) {
        return nullptr;
    }
    for (const Word& word : parameters) {
        if (word.letter == letter) {
            return &word;
        }
    }
    return nullptr;
}

GCode::GCode(const std::string& text, uint32_t line_number) : line_number_(line_number) {
    ParseText(text);
}

GCode GCode::FromText(std::string_view text, uint32_t line_number) {
    GCode line(line_number);
    line.ParseText(text);
    return line;
}

GCode::GCode(const GCode& other) : line_number_(other.line_number_), empty_(other.empty_) {
    CopyTextFrom(other);
}

GCode::GCode(GCode&& other) noexcept : line_number_(other.line_number_), empty_(other.empty_) {
    MoveTextFrom(other);
}

GCode& GCode::operator=(const GCode& other) {
    if (this != &other) {
        FreeText();
        CopyTextFrom(other);
        line_number_ = other.line_number_;
        empty_ = other.empty_;
    }
    return *this;
}

GCode& GCode::operator=(GCode&& other) noexcept {
    if (this != &other) {
        FreeText();
        MoveTextFrom(other);
        line_number_ = other.line_number_;
        empty_ = other.empty_;
    }
    return *this;
}

GCode::~GCode() {
    FreeText();
}

std::string_view GCode::Text() const {
    if (size_ <= kInlineSize) {
        return std::string_view(text_, size_);
    }
    const char* heap = nullptr;
    std::memcpy(&heap, text_, sizeof heap);
    return std::string_view(heap, size_);
}

char* GCode::AllocateText(std::size_t size) {
    size_ = static_cast<uint32_t>(size);
    if (size <= kInlineSize) {
        return text_;
    }
    char* heap = new char[size];
    std::memcpy(text_, &heap, sizeof heap);
    return heap;
}

void GCode::FreeText() {
    if (size_ > kInlineSize) {
        delete[] Text().data();
    }
    size_ = 0;
}

void GCode::CopyTextFrom(const GCode& other) {
    const std::string_view text = other.Text();
    char* target = AllocateText(text.size());
    std::memcpy(target, text.data(), text.size());
}

void GCode::MoveTextFrom(GCode& other) noexcept {
    std::memcpy(text_, other.text_, kInlineSize);
    size_ = other.size_;
    other.size_ = 0;
}

void GCode::ParseText(std::string_view text) {
    static_assert(sizeof(char*) <= kInlineSize, "the inline text must hold a pointer");
    std::string_view source = TrimView(text);
    if (!EqualsUpper(source, kBreakpoint)) {
        source = StripCommentView(text);
    }
    if (source.empty()) {
        empty_ = true;
        return;
    }
    char* target = AllocateText(source.size());
    std::transform(source.begin(), source.end(), target, Upper);

    std::size_t words = 0;
    std::size_t unread = 0;
    ForEachWord(
        Text(), [&words](std::string_view) { ++words; },
        [&unread](std::string_view piece) {
            if (++unread <= kReportedPieces) {
                // As the shared splitter words it.
                std::cerr << "Failed to convert token '" << Excerpt(piece) << "' to type '"
                          << ReadableTypeName(typeid(std::string)) << "'" << std::endl;
            }
        });
    if (unread > kReportedPieces) {
        std::cerr << "... and " << unread - kReportedPieces
                  << " more tokens of the line that could not be read" << std::endl;
    }
    if (words == 0) {
        FreeText();
        empty_ = true;
    }
}

GCode::Words GCode::GetWords() const {
    Words words;
    bool first = true;
    ForEachWord(
        Text(),
        [&](std::string_view word) {
            if (first) {
                first = false;
                words.command_head = word.substr(0, 1);
                words.command_tail = word.substr(1 + NormalizedSkip(word));
                return;
            }
            const Word parameter{word[0], word.substr(1)};
            const auto key = static_cast<unsigned char>(parameter.letter);
            if (words.letters.test(key)) {
                return;
            }
            words.letters.set(key);
            auto& parameters = words.parameters;
            auto position = parameters.end();
            while (position != parameters.begin() &&
                   static_cast<unsigned char>((position - 1)->letter) > key) {
                --position;
            }
            parameters.insert(position, parameter);
        },
        [](std::string_view) {});
    return words;
}

std::string GCode::GetLine() const {
    return std::string(Text());
}

std::string GCode::GetCommand() const {
    return GetWords().Command();
}

std::map<std::string, std::string> GCode::GetParameters() const {
    std::map<std::string, std::string> parameters;
    for (const Word& word : GetWords().parameters) {
        parameters.emplace_hint(parameters.end(), std::string(1, word.letter),
                                std::string(word.value));
    }
    return parameters;
}

bool GCode::HasParameter(std::string letter) const {
    return letter.size() == 1 && GetWords().Gives(letter[0]);
}

double GCode::GetParameter(std::string letter) const {
    std::string_view value;
    const Words words = GetWords();
    if (letter.size() == 1) {
        if (const Word* word = words.Find(letter[0])) {
            value = word->value;
        }
    }
    return ReadNumber(value);
}

double GCode::ReadNumber(std::string_view value) {
    double number = 0.0;
    if (ReadPlainDecimal(value, &number)) {
        return number;
    }
    std::istringstream stream{std::string(value)};
    if (!(stream >> number)) {
        throw std::invalid_argument("Invalid input");
    }
    return number;
}

bool GCode::IsSupported() const {
    const auto entry = SupportedGCodes.find(GetCommand());
    return entry != SupportedGCodes.end() && entry->second;
}

bool GCode::IsKnownUnsupported() const {
    const auto entry = SupportedGCodes.find(GetCommand());
    return entry != SupportedGCodes.end() && !entry->second;
}

bool GCode::IsUnknown() const {
    return SupportedGCodes.count(GetCommand()) == 0;
}

std::string GCode::Trim(const std::string& text) {
    return std::string(TrimView(text));
}

std::string GCode::StripComment(const std::string& text) {
    return std::string(StripCommentView(text));
}

std::string GCode::ToUpper(const std::string& text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(), Upper);
    return upper;
}

std::string GCode::NormalizeCommand(const std::string& word) {
    if (word.empty()) {
        return word;
    }
    return word.substr(0, 1) + word.substr(1 + NormalizedSkip(word));
}
