#include "components/platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "components/platform/values.h"

namespace quorlan {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  int number = err::kPathNotFound;
  if (error == ENOENT) number = err::kFileNotFound;
  if (error == EACCES || error == EPERM || error == EROFS) number = err::kPathFileAccess;
  if (error == ENOSPC || error == EDQUOT) number = err::kDiskFull;
  throw RuntimeError(number, fmt::format("{} {}: {}", what, path, std::strerror(error)));
}

// Writes all of text to fd; false with errno set on failure.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void WriteWithFlags(const std::string& path, const std::string& text, int flags, const char* what) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, kFileMode);
  if (fd < 0) Fail(what, path, errno);
  if (!WriteAll(fd, text)) {
    const int e = errno;
    ::close(fd);
    Fail("write", path, e);
  }
  if (::close(fd) != 0) Fail("close", path, errno);
}

// Swaps the files named from and to (renameat2 RENAME_EXCHANGE). False when there is no file at
// to yet or the file system cannot swap: a rename(2) has to do.
bool SwapNames(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) return true;
  if (errno != ENOENT && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    Fail("swap", to, errno);
  }
  return false;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void AppendToFile(const std::string& path, const std::string& text) {
  WriteWithFlags(path, text, O_APPEND, "open for appending");
}

void WriteNewFile(const std::string& path, const std::string& text) {
  WriteWithFlags(path, text, O_TRUNC, "create");
}

void CreateNewFile(const std::string& path, const std::string& text, int mode) {
  FileWriter file(path, mode);
  file.Write(text);
  file.Close();
}

void ReplaceFile(const std::string& path, const std::string& text, int mode) {
  const std::string temporary = path + ".tmp";
  try {
    CreateNewFile(temporary, text, mode);
  } catch (const RuntimeError&) {
    if (::unlink(temporary.c_str()) != 0) throw;  // nothing was left in the way
    CreateNewFile(temporary, text, mode);
  }
  try {
    // Swapping the two names costs a tenth of a rename over the old file on ext4, which first
    // writes the new file's data out (auto_da_alloc); the old file then goes under the temporary
    // name. The first time there is nothing to swap with: a plain rename.
    if (SwapNames(temporary, path)) {
      ::unlink(temporary.c_str());
      return;
    }
    RenameFile(temporary, path);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

RewrittenFile::RewrittenFile(std::string path, int mode)
    : path_(std::move(path)), temporary_(path_ + ".tmp"), mode_(mode) {}

RewrittenFile::~RewrittenFile() {
  if (current_ >= 0) ::close(current_);
  if (spare_ >= 0) ::close(spare_);
}

// The kept spare still has its name: a file removed or replaced at the temporary name has lost
// its last link. One fstat a replacement, where comparing with an lstat of the name took two.
bool RewrittenFile::SpareInPlace() const {
  struct stat held;
  return spare_ >= 0 && ::fstat(spare_, &held) == 0 && held.st_nlink > 0;
}

void RewrittenFile::NewSpare() {
  if (spare_ >= 0) ::close(spare_);
  spare_ = -1;
  spare_size_ = 0;
  if (::unlink(temporary_.c_str()) != 0 && errno != ENOENT) Fail("remove", temporary_, errno);
  spare_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  static_cast<mode_t>(mode_));
  if (spare_ < 0) Fail("create", temporary_, errno);
}

void RewrittenFile::WriteSpare(std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n =
        ::pwrite(spare_, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("write", temporary_, errno);
    done += static_cast<size_t>(n);
  }
  // Only a shorter text leaves old bytes behind it.
  if (text.size() < spare_size_ && ::ftruncate(spare_, static_cast<off_t>(text.size())) != 0) {
    Fail("truncate", temporary_, errno);
  }
  spare_size_ = text.size();
}

void RewrittenFile::Replace(std::string_view text) {
  if (!SpareInPlace()) NewSpare();
  try {
    WriteSpare(text);
    if (SwapNames(temporary_, path_)) {
      // The previous text's file is the spare now, unless this object did not write it.
      std::swap(current_, spare_);
      std::swap(current_size_, spare_size_);
    } else {
      RenameFile(temporary_, path_);
      if (current_ >= 0) ::close(current_);
      current_ = std::exchange(spare_, -1);
      current_size_ = spare_size_;
    }
  } catch (const RuntimeError&) {
    // The spare may be the cause (moved away under its name): the next replacement makes a new one.
    ::close(std::exchange(spare_, -1));
    throw;
  }
  if (spare_ < 0) {
    // The spare for the next replacement is made now, so that from the second one on each is a
    // write in place. The text is in place already: a spare that cannot be made is tried again
    // then.
    try {
      NewSpare();
    } catch (const RuntimeError&) {
      // left for the next replacement
    }
  }
}

void CopyToNewFile(const std::string& from, const std::string& to, int mode) {
  const int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("open for reading", from, errno);
  try {
    FileWriter out(to, mode);
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail("read", from, errno);
      if (n == 0) break;
      out.Write(std::string_view(buf, static_cast<size_t>(n)));
    }
    out.Close();
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}

void CreateNewFolder(const std::string& path, int mode) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) Fail("create folder", path, errno);
}

namespace {
constexpr size_t kWriteBlock = 65536;
}  // namespace

FileWriter::FileWriter(const std::string& path, int mode) : path_(path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
               static_cast<mode_t>(mode));
  if (fd_ < 0) Fail("create", path, errno);
}

FileWriter::~FileWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void FileWriter::Write(std::string_view text) {
  buffer_.append(text);
  if (buffer_.size() >= kWriteBlock) Flush();
}

void FileWriter::Flush() {
  if (!WriteAll(fd_, buffer_)) Fail("write", path_, errno);
  buffer_.clear();
}

void FileWriter::Close() {
  Flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail("close", path_, errno);
}

std::vector<std::string> ReadLines(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("open for reading", path, errno);
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      Fail("read", path, e);
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    size_t stop = end;
    if (stop > start && data[stop - 1] == '\r') --stop;
    lines.emplace_back(data, start, stop - start);
    start = end + 1;
  }
  return lines;
}

LineReader::LineReader(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) Fail("open for reading", path, errno);
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool LineReader::Next(std::string* line) {
  bool ends = false;
  return NextPiece(line, std::string::npos, &ends);
}

bool LineReader::NextPiece(std::string* piece, size_t max, bool* ends) {
  for (;;) {
    const size_t nl = buffer_.find('\n', pos_);
    if (nl != std::string::npos || (end_ && pos_ < buffer_.size())) {
      const size_t end = nl == std::string::npos ? buffer_.size() : nl;
      size_t stop = end;
      if (stop > pos_ && buffer_[stop - 1] == '\r') --stop;
      if (stop - pos_ <= max) {
        piece->assign(buffer_, pos_, stop - pos_);
        pos_ = nl == std::string::npos ? end : end + 1;
        *ends = true;
        return true;
      }
    }
    if (buffer_.size() - pos_ > max) {
      // A piece of a long line; a carriage return at its end may be the line's end, so it goes
      // with the next piece.
      size_t cut = max;
      if (buffer_[pos_ + cut - 1] == '\r') --cut;
      piece->assign(buffer_, pos_, cut);
      pos_ += cut;
      *ends = false;
      return true;
    }
    if (end_) return false;
    buffer_.erase(0, pos_);
    pos_ = 0;
    char chunk[65536];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("read", path_, errno);
    if (n == 0) end_ = true;
    buffer_.append(chunk, static_cast<size_t>(n > 0 ? n : 0));
  }
}

void DeleteFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) Fail("delete", path, errno);
}

void RenameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) Fail("rename to " + to + ":", from, errno);
}

int DeleteMatching(const std::string& folder, const std::string& pattern) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) Fail("open folder", folder, errno);
  std::vector<std::string> names;
  while (const struct dirent* e = ::readdir(dir)) {
    if (::fnmatch(pattern.c_str(), e->d_name, FNM_PERIOD) == 0) names.emplace_back(e->d_name);
  }
  ::closedir(dir);
  int deleted = 0;
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    if (!FileExists(path)) continue;
    DeleteFile(path);
    ++deleted;
  }
  return deleted;
}

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n < 0) Fail("read link", "/proc/self/exe", errno);
  return std::string(buf, static_cast<size_t>(n));
}

std::string ExecutableFolder() {
  const std::string exe = ExecutablePath();
  const size_t slash = exe.rfind('/');
  return slash == 0 ? "/" : exe.substr(0, slash);
}

void MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) Fail("create folder", path, errno);
}

std::vector<std::string> FolderEntries(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) Fail("open folder", path, errno);
  std::vector<std::string> names;
  while (const struct dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

void SyncFolder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail("open folder", path, errno);
  const int rc = ::fsync(fd);
  const int e = errno;
  ::close(fd);
  if (rc != 0) Fail("sync folder", path, e);
}

DataFile DataFile::Create(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) Fail("create", path, errno);
  return DataFile(path, fd, 0);
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

FileStamp StampOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  const auto ns = [](const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  return {true,
          {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)},
          static_cast<uint64_t>(st.st_size),
          std::max(ns(st.st_mtim), ns(st.st_ctim))};
}

bool StampSettled(const FileStamp& stamp) {
  // File times are taken from the coarse real-time clock.
  struct timespec now;
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec - stamp.changed_ns >= 1000000000;
}

DataFile DataFile::Open(const std::string& path, bool writable) {
  const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) Fail("open", path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    Fail("read the size of", path, e);
  }
  return DataFile(path, fd, static_cast<uint64_t>(st.st_size));
}

DataFile::DataFile(DataFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), size_(other.size_) {
  other.fd_ = -1;
}

DataFile& DataFile::operator=(DataFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(other.path_);
    fd_ = other.fd_;
    size_ = other.size_;
    other.fd_ = -1;
  }
  return *this;
}

DataFile::~DataFile() {
  if (fd_ >= 0) ::close(fd_);
}

void DataFile::Append(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd_, bytes + done, size - done, static_cast<off_t>(size_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      // The part written is cut off again, so that the file ends with a whole append.
      const bool cut = done == 0 || ::ftruncate(fd_, static_cast<off_t>(size_)) == 0;
      Fail(cut ? "write" : "write (a part stays written)", path_, e);
    }
    done += static_cast<size_t>(n);
  }
  size_ += size;
}

void DataFile::Sync() {
  if (::fdatasync(fd_) != 0) Fail("sync", path_, errno);
}

size_t DataFile::ReadAt(uint64_t offset, void* data, size_t size) const {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, static_cast<char*>(data) + done, size - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("read", path_, errno);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void DataFile::Truncate(uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail("truncate", path_, errno);
  size_ = size;
}

}  // namespace quorlan
