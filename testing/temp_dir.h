// Test support: a temporary folder removed with everything in it at the end.
#pragma once

#include <string>

namespace kttest {

class TempDir {
  public:
    // A fresh folder under $TMPDIR (or /tmp) whose name starts with `prefix`.
    explicit TempDir(const std::string &prefix = "kt-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // The path of `name` inside the folder.
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace kttest
