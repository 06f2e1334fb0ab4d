// Shared pieces of the tests: private folders and an isolated registry, so
// that no test touches a real user's files or settings.
#pragma once

#include <functional>
#include <string>

namespace test_support {

// A new folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder with a trailing separator.
  const std::string& Path() const { return path_; }
  // Path() + name.
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Points the shell folders (and, on POSIX, the registry stand-in) into a
// private folder for the life of the object.
class IsolatedSystem {
 public:
  IsolatedSystem();
  ~IsolatedSystem();

  const TempFolder& Root() const { return root_; }
  std::string CommonDocuments() const;
  std::string AppData() const;

 private:
  TempFolder root_;
};

// Runs the window thread's side of the synchronized calls until `done`
// holds; false when it still does not after `timeout_ms` (a generous bound
// that only keeps a broken test from hanging).
bool PumpUntil(const std::function<bool()>& done, int timeout_ms);

// The file's bytes, or "<missing>" when it cannot be read.
std::string ReadFileOrMissing(const std::string& path);

// Writes the bytes, creating or replacing the file; fails the test on error.
void WriteFileForTest(const std::string& path, const std::string& bytes);

}  // namespace test_support
