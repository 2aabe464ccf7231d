// A temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <string>

namespace quorlan::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Creates the sub-folder name and returns its path.
  std::string MakeDir(const std::string& name) const;
  // Writes a file (name relative to the folder) with the given content.
  void Write(const std::string& name, const std::string& content) const;
  std::string Read(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace quorlan::testing
