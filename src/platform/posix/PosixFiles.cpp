#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  // Keep the permissions of the file being replaced.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
  bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int saved = errno;
    unlink(temp.c_str());
    errno = saved;
  }
  return ok;
}

bool DeleteFileAt(const std::string& path) { return unlink(path.c_str()) == 0; }

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
