// Files and directories for tests: a private temporary directory that is
// removed with everything in it, and whole-file reads and writes.
#pragma once

#include <string>
#include <vector>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Names of the entries directly in the directory, sorted.
    std::vector<std::string> entries() const;
    static std::vector<std::string> entries_of(const std::string& directory);

  private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
