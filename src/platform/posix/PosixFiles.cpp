#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace platform {

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFileWithFlags(const std::string& path, std::string_view bytes, int flags) {
  const int fd = open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, bytes);
  const int saved = errno;
  const bool closed = close(fd) == 0;
  errno = saved;
  return ok && closed;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view bytes) {
  return WriteFileWithFlags(path, bytes, O_APPEND);
}

bool WriteNewFile(const std::string& path, std::string_view bytes) {
  return WriteFileWithFlags(path, bytes, O_TRUNC);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return data;
}

RegularFileRead ReadRegularFile(const std::string& path, std::size_t max_size, std::string& out) {
  out.clear();
  // Not blocking: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return RegularFileRead::Failed;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return RegularFileRead::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return RegularFileRead::NotRegular;
  }
  if (static_cast<unsigned long long>(st.st_size) > max_size) {
    close(fd);
    return RegularFileRead::TooLarge;
  }
  out.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      close(fd);
      out.clear();
      errno = saved;
      return RegularFileRead::Failed;
    }
    if (n == 0) break;
    // The file may grow while it is read.
    if (out.size() + static_cast<std::size_t>(n) > max_size) {
      close(fd);
      out.clear();
      return RegularFileRead::TooLarge;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return RegularFileRead::Ok;
}

namespace {

std::atomic<unsigned> g_temporary_counter{0};

// Temporary files of earlier runs beside `target` whose writing process has
// ended. Another process's (alive, or not ours by name) are left alone.
void RemoveStaleTemporaryFiles(const std::string& target) {
  const std::string folder = ExtractFilePath(target);
  const std::string prefix = ExtractFileName(target) + kTemporaryFileMarker;
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::size_t at = prefix.size();
    long long pid = 0;
    const std::size_t digits = at;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9' && pid < INT_MAX) {
      pid = pid * 10 + (name[at++] - '0');
    }
    if (at == digits || at >= name.size() || name[at] != '-' || pid <= 0 || pid > INT_MAX) continue;
    if (pid == getpid()) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    const std::string full = folder + name;
    struct stat st {};
    if (lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(full.c_str());
  }
  closedir(dir);
}

}  // namespace

struct AtomicFileWriter::State {
  int fd = -1;
  bool failed = false;
  int error = 0;  // of the first failed Write
  std::string target;
  std::string temporary;
};

AtomicFileWriter::AtomicFileWriter() : state_(std::make_unique<State>()) {}

AtomicFileWriter::~AtomicFileWriter() {
  if (state_->fd >= 0) {
    const int saved = errno;
    close(state_->fd);
    unlink(state_->temporary.c_str());
    errno = saved;
  }
}

const std::string& AtomicFileWriter::TemporaryPath() const { return state_->temporary; }

bool AtomicFileWriter::Open(const std::string& path) {
  State& s = *state_;
  if (s.fd >= 0) return false;
  s.failed = false;
  s.target = path;
  // A link is followed: its target is the file the user keeps, the link stays.
  struct stat link_status {};
  if (lstat(path.c_str(), &link_status) == 0 && S_ISLNK(link_status.st_mode)) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    s.target = resolved;
    std::free(resolved);
  }
  RemoveStaleTemporaryFiles(s.target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    s.temporary = s.target + kTemporaryFileMarker + std::to_string(getpid()) + "-" +
                  std::to_string(g_temporary_counter++);
    s.fd = open(s.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (s.fd >= 0 || errno != EEXIST) break;
  }
  if (s.fd < 0) {
    s.temporary.clear();
    return false;
  }
  // The owner first: changing it may clear permission bits that fchmod sets.
  struct stat st {};
  if (stat(s.target.c_str(), &st) == 0) {
    if (fchown(s.fd, st.st_uid, st.st_gid) != 0) {
      // Only root may give a file away; anyone else keeps their own.
    }
    fchmod(s.fd, st.st_mode & 07777);
  }
  return true;
}

bool AtomicFileWriter::Write(std::string_view bytes) {
  State& s = *state_;
  if (s.fd < 0 || s.failed) return false;
  if (!WriteAll(s.fd, bytes)) {
    s.failed = true;
    s.error = errno;
  }
  return !s.failed;
}

bool AtomicFileWriter::Commit() {
  State& s = *state_;
  if (s.fd < 0) return false;
  int saved = s.error;
  bool ok = !s.failed;
  if (ok && fsync(s.fd) != 0) {
    ok = false;
    saved = errno;
  }
  if (close(s.fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  s.fd = -1;
  if (ok && rename(s.temporary.c_str(), s.target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) unlink(s.temporary.c_str());
  s.temporary.clear();
  errno = saved;
  return ok;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
  AtomicFileWriter writer;
  return writer.Open(path) && writer.Write(bytes) && writer.Commit();
}

bool DeleteFileAt(const std::string& path) { return unlink(path.c_str()) == 0; }

bool RenameFileNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a second name, then the first one goes.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

std::optional<std::vector<DirEntry>> ListDirectory(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<DirEntry> entries;
  const std::string prefix = IncludeTrailingDelimiter(folder);
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      is_dir = DirectoryExists(prefix + name);
    }
    entries.push_back({name, is_dir});
  }
  closedir(dir);
  return entries;
}

}  // namespace platform
