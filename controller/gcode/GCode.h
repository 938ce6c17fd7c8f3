// One parsed G-code line: its normalised text, its physical line number, the
// command word and the parameter words. A plain value, copied freely.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <boost/container/small_vector.hpp>

class GCode {
  public:
    // One parameter word inside the line text: its letter and the value after it.
    struct Word {
        char letter;
        std::string_view value;
    };
    // The words of a line as views into its text, for readers that must not
    // copy: the command in its two pieces (first character, and the rest after
    // the dropped zeros) and the parameters in ascending order of their letter.
    struct Words {
        std::string_view command_head;
        std::string_view command_tail;
        boost::container::small_vector<Word, 8> parameters;
        // The letters of `parameters`, by byte value.
        std::bitset<256> letters;

        // The normalised command word as text.
        std::string Command() const;
        // True when the normalised command equals `code`.
        bool CommandIs(std::string_view code) const;
        // The parameter of `letter`, or null when the line gives none.
        const Word* Find(char letter) const;
        // True when the line gives `letter`, with or without a value.
        bool Gives(char letter) const { return letters.test(static_cast<unsigned char>(letter)); }
    };

    // Parses one line; `line_number` is 1-based in its file, 0 at the terminal.
    GCode(const std::string& text, uint32_t line_number);
    // The same parse of text that need not be copied into a string first.
    static GCode FromText(std::string_view text, uint32_t line_number);
    GCode(const GCode& other);
    GCode(GCode&& other) noexcept;
    GCode& operator=(const GCode& other);
    GCode& operator=(GCode&& other) noexcept;
    ~GCode();

    // The normalised line text.
    std::string GetLine() const;
    // The 1-based physical line number, 0 for a terminal line.
    uint32_t GetLineNumber() const { return line_number_; }
    // True when no command word could be read from the line.
    bool IsEmpty() const { return empty_; }
    // The normalised command word ("G1", "M104", ";BREAKPOINT").
    std::string GetCommand() const;
    // Parameter letter to value text ("" when the letter stands alone).
    std::map<std::string, std::string> GetParameters() const;
    // True when the line gives `letter`, with or without a value.
    bool HasParameter(std::string letter) const;
    // The value of `letter` read as a number; throws std::invalid_argument
    // "Invalid input" when it is missing or does not start with a number.
    double GetParameter(std::string letter) const;
    // The command is a known code that the machine carries out.
    bool IsSupported() const;
    // The command is a known code that the machine does not carry out.
    bool IsKnownUnsupported() const;
    // The command is not a known code (breakpoint and empty lines included).
    bool IsUnknown() const;
    // Always true; the terminal asks before it runs a supported line.
    bool IsValid() const { return true; }
    // The words of the line as views that live as long as this line.
    Words GetWords() const;
    // A parameter value read as GetParameter reads it.
    static double ReadNumber(std::string_view value);

    // Drops leading and trailing blanks, tabs and line feeds (not carriage returns).
    static std::string Trim(const std::string& text);
    // Cuts the text at its first ";" and trims what is left.
    static std::string StripComment(const std::string& text);
    // Upper-cases the ASCII letters, byte by byte.
    static std::string ToUpper(const std::string& text);
    // Drops the leading zeros of the number after the first character: G01 -> G1.
    static std::string NormalizeCommand(const std::string& word);

  private:
    // Lines up to this size are kept inside the object; longer ones on the heap.
    static constexpr std::size_t kInlineSize = 36;

    explicit GCode(uint32_t line_number) : line_number_(line_number) {}

    std::string_view Text() const;
    char* AllocateText(std::size_t size);
    void FreeText();
    void CopyTextFrom(const GCode& other);
    void MoveTextFrom(GCode& other) noexcept;
    void ParseText(std::string_view text);

    // The line text, or a pointer to it when it is longer than kInlineSize.
    char text_[kInlineSize];
    uint32_t size_ = 0;
    uint32_t line_number_;
    bool empty_ = false;
};
