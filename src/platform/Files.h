// Whole-file reads and writes, and the one-line append of the log.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Appends `bytes` to the file, creating it when missing; the file is closed
// again before returning. False when the file could not be opened or written.
bool AppendToFile(const std::string& path, std::string_view bytes);

// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

enum class RegularFileRead {
  Ok,
  Failed,      // could not be opened or read: LastError() says why
  NotRegular,  // a folder, device, FIFO or socket (or a link to one): never read
  TooLarge,    // more than the given number of bytes: not read
};

// Reads a regular file of at most `max_size` bytes into `out`, without ever
// blocking on a FIFO or reading a device without end.
RegularFileRead ReadRegularFile(const std::string& path, std::size_t max_size, std::string& out);

// Writes a new file beside `path` and then replaces `path` with it, so that a
// failed or interrupted write never leaves a half-written file behind.
// False (and the old file untouched) on any failure.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes);

// The same, written piece by piece: Open, Write as often as needed, Commit.
// A writer dropped without Commit leaves the old file as it was and removes
// its temporary file. A target that is a symbolic link gets its link target
// rewritten, and the new file keeps the old one's owner and permissions.
// The temporary file's name is the target's, a marker and this process's id:
// Open removes such files beside the target whose process is gone (left by
// an interrupted run), and never any other file.
class AtomicFileWriter {
 public:
  AtomicFileWriter();
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  bool Open(const std::string& path);
  bool Write(std::string_view bytes);
  // Flushes, closes and renames over the target; false (LastError set) when
  // any step, or any earlier Write, failed.
  bool Commit();
  // The temporary file's path while open ("" otherwise).
  const std::string& TemporaryPath() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The marker in the name of the temporary files of AtomicFileWriter, between
// the target's name and the writing process's id.
inline constexpr char kTemporaryFileMarker[] = ".nimbra-tmp-";

// Creates or truncates the file and writes `bytes` (for files nobody else
// depends on, such as a first-time settings file).
bool WriteNewFile(const std::string& path, std::string_view bytes);

bool DeleteFileAt(const std::string& path);

// Gives the file a new name in the same file system, failing (and leaving
// both names as they are) when `to` exists already.
bool RenameFileNoReplace(const std::string& from, const std::string& to);

struct DirEntry {
  std::string name;
  bool is_directory = false;
};

// The entries of a folder in the system's listing order, without "." and "..".
// Nothing when the listing cannot be started.
std::optional<std::vector<DirEntry>> ListDirectory(const std::string& folder);

}  // namespace platform
