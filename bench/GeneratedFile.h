// A realistic slicer file of about a given number of lines, generated once per
// size for the G-code benchmarks (GEN_GCODE names the generator) and removed
// at exit; or a file of one line repeated.
#pragma once

#include <string>

class GeneratedFile {
  public:
    explicit GeneratedFile(long lines);
    // `count` copies of `line` and a line feed each.
    GeneratedFile(const std::string& line, long count);
    ~GeneratedFile();
    GeneratedFile(const GeneratedFile&) = delete;
    GeneratedFile& operator=(const GeneratedFile&) = delete;

    // Empty when the file could not be made.
    const std::string& Path() const { return path_; }
    long PhysicalLines() const { return physical_lines_; }
    long Bytes() const;

    // The generated file of about `lines` lines, made on first use.
    static const GeneratedFile& OfLines(long lines);

  private:
    // A fresh temporary file name, or "" when none can be made.
    static std::string TemporaryPath();
    void CountLines();

    std::string path_;
    long physical_lines_ = 0;
};
