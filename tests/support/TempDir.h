// A fresh temporary folder, removed with everything in it on destruction.
#pragma once

#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Writes `content` to Path()/name and returns the file's path.
    std::string WriteFile(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};
