// File operations of the service: each opens, works and closes, and reports a failure as a
// RuntimeError that names the file and the system's reason ("open /opt/q/Debug/T-AppEvent.txt for
// appending: No such file or directory").
//
// Text files of the service are written with lines ended by carriage return and line feed; the
// line readers accept both CRLF and LF endings and return lines without them.
//
// Modes: files are created for their owner and group only (kFileMode, 0640, less what the umask
// takes), folders kFolderMode (0750). The logs and trace files name devices, communities and
// users, which no other local user has to read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlan {

inline constexpr const char* kCrLf = "\r\n";
inline constexpr int kFileMode = 0640;
inline constexpr int kFolderMode = 0750;

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Appends text to the file, creating it when missing.
void AppendToFile(const std::string& path, const std::string& text);
// Creates the file anew (truncating an existing one) with the given text.
void WriteNewFile(const std::string& path, const std::string& text);
// Creates a file that does not exist yet with the given text and mode (less the umask). Refuses
// a path that exists, a symbolic link (even a dangling one) included, so that nothing planted
// there is followed or overwritten.
void CreateNewFile(const std::string& path, const std::string& text, int mode = kFileMode);
// Replaces the file at path with the given text at once for its readers: the text goes to a new
// file path + ".tmp" (created as CreateNewFile creates it; a leftover one is removed) that
// renameat2(2) swaps with the file at path (RENAME_EXCHANGE; rename(2) when there is none yet or
// the file system cannot swap), so a reader finds the old file or the new one, never a part. The
// old file is then removed. A symbolic link at path is replaced, not followed. On failure the
// temporary file is removed and the file at path stays as it was. Nothing is synced: after a
// crash of the machine the file may be empty or hold an earlier text.
void ReplaceFile(const std::string& path, const std::string& text, int mode = kFileMode);

// A file replaced again and again (a minute's figures) as ReplaceFile replaces it, at a fraction
// of its cost: the file that held the previous text stays under path + ".tmp", and with both
// files held open the next text is written over it in place and the two names swapped again
// (renameat2 RENAME_EXCHANGE). A reader that opens path finds one whole text; one that keeps the
// file open past the next replacement may see it rewritten. When the kept file is no longer the
// one at path + ".tmp" (removed or replaced: its last link is gone; a replacement that fails) or
// there is none yet, a new one is created there as
// CreateNewFile creates it, a leftover removed first; the first replacement also makes the spare
// for the second. A file system that cannot swap gets a plain rename(2). A failure throws
// RuntimeError naming the file and leaves the file at path as it was.
class RewrittenFile {
 public:
  RewrittenFile(std::string path, int mode);
  // Closes both files; they stay on disk.
  ~RewrittenFile();
  RewrittenFile(const RewrittenFile&) = delete;
  RewrittenFile& operator=(const RewrittenFile&) = delete;

  const std::string& path() const { return path_; }
  void Replace(std::string_view text);

 private:
  bool SpareInPlace() const;
  void NewSpare();
  void WriteSpare(std::string_view text);

  std::string path_;
  std::string temporary_;
  int mode_;
  int current_ = -1;  // the file at path_ as last written, or -1
  int spare_ = -1;    // the file at temporary_ to write next, or -1
  uint64_t current_size_ = 0;
  uint64_t spare_size_ = 0;
};

// Copies from to a new file as CreateNewFile creates it.
void CopyToNewFile(const std::string& from, const std::string& to, int mode);
// Creates a folder that does not exist yet with the mode (less the umask).
void CreateNewFolder(const std::string& path, int mode = kFolderMode);

// Writes a new file in pieces, for files too large to hold in memory. Created as CreateNewFile
// creates it; what is written is buffered and goes to the file by 64 KiB blocks and at Close.
class FileWriter {
 public:
  // Throws RuntimeError naming the file when it cannot be created.
  FileWriter(const std::string& path, int mode = kFileMode);
  // Closes the file if Close was not called; errors are then lost.
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  void Write(std::string_view text);
  // Writes what is buffered and closes the file. Throws RuntimeError naming the file.
  void Close();

 private:
  void Flush();
  std::string path_;
  int fd_ = -1;
  std::string buffer_;
};
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
  // As Next, for lines of any length in bounded memory: a line longer than max bytes comes in
  // pieces of at most max bytes (max > 1), *ends telling whether the piece ends its line (the
  // line end itself is never part of a piece).
  bool NextPiece(std::string* piece, size_t max, bool* ends);

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

// --- Data that must survive a crash ---

// Creates the folder (mode 0700) when it does not exist.
void MakeFolder(const std::string& path);
// The names of the entries of a folder (without "." and ".."), in no particular order.
std::vector<std::string> FolderEntries(const std::string& path);
// Makes the creations, renamings and deletions of files in the folder durable (fsync of the
// folder), so that a file synced inside it is found again after a crash.
void SyncFolder(const std::string& path);
// The identity of the file at a path (device and inode), or nullopt when there is none: a file
// replaced or moved away and back as a copy has another identity.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::string& path);
// What tells whether a file changed: its identity, size, and the later of its last modification
// and status change (nanoseconds since 1970, as the file system records them: in steps of the
// kernel's clock tick, so two changes within one tick can leave the same stamp). A missing file
// has the stamp {} (exists false).
struct FileStamp {
  bool exists = false;
  FileIdentity identity;
  uint64_t size = 0;
  int64_t changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);
// Whether the stamp is at least a second old by the file system's own clock: a later change in
// the same clock tick would leave the same stamp only for a stamp taken less than a tick after it.
bool StampSettled(const FileStamp& stamp);

// A binary file kept open for appending at its end and reading anywhere, whose appended bytes
// are durable once Sync returns (fdatasync). Owns its descriptor; movable, not copyable.
class DataFile {
 public:
  // Creates a new file (mode 0600); fails when one exists.
  static DataFile Create(const std::string& path);
  // Opens an existing file for reading and appending, or for reading only.
  static DataFile Open(const std::string& path, bool writable = true);
  DataFile(DataFile&& other) noexcept;
  DataFile& operator=(DataFile&& other) noexcept;
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;
  ~DataFile();

  const std::string& path() const { return path_; }
  uint64_t Size() const { return size_; }
  // Writes the bytes at the end of the file. A failure leaves the size the file had before (the
  // bytes written in part are cut off again).
  void Append(const void* data, size_t size);
  void Sync();
  // Reads up to size bytes at offset into data; returns how many were read (fewer at the end).
  size_t ReadAt(uint64_t offset, void* data, size_t size) const;
  // Shortens the file to size bytes.
  void Truncate(uint64_t size);

 private:
  DataFile(std::string path, int fd, uint64_t size)
      : path_(std::move(path)), fd_(fd), size_(size) {}
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace quorlan
