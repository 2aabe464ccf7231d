// File operations of the service: each opens, works and closes, and reports a failure as a
// RuntimeError that names the file and the system's reason ("open /opt/q/Debug/T-AppEvent.txt for
// appending: No such file or directory").
//
// Text files of the service are written with lines ended by carriage return and line feed; the
// line readers accept both CRLF and LF endings and return lines without them.
#pragma once

#include <string>
#include <vector>

namespace quorlan {

inline constexpr const char* kCrLf = "\r\n";

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Appends text to the file, creating it when missing.
void AppendToFile(const std::string& path, const std::string& text);
// Creates the file anew (truncating an existing one) with the given text.
void WriteNewFile(const std::string& path, const std::string& text);
// The lines of a text file, without their line ends.
std::vector<std::string> ReadLines(const std::string& path);

// Reads a text file line by line without holding all of it, for files that may be large (trace
// files). Lines are returned without their CRLF or LF; a last line without line end counts.
class LineReader {
 public:
  // Opens the file for reading; throws RuntimeError naming it when it cannot.
  explicit LineReader(const std::string& path);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line into *line; false at the end of the file. Throws RuntimeError when reading
  // fails.
  bool Next(std::string* line);

 private:
  std::string path_;
  int fd_ = -1;
  std::string buffer_;
  size_t pos_ = 0;
  bool end_ = false;
};
void DeleteFile(const std::string& path);
void RenameFile(const std::string& from, const std::string& to);
// Deletes the files of the folder whose names match a pattern with * wildcards (fnmatch rules).
// Returns the number deleted.
int DeleteMatching(const std::string& folder, const std::string& pattern);
// The folder that holds the running executable, without a trailing slash.
std::string ExecutableFolder();
std::string ExecutablePath();

}  // namespace quorlan
