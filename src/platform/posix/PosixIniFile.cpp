// INI files on POSIX: the text model, read whole and rewritten atomically, so
// a failed write never leaves a damaged file.
#include <cerrno>

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/IniFileInternal.h"
#include "platform/Paths.h"

namespace platform {

namespace {

using internal::IniDocument;

// The file's model; an empty one when the file does not exist yet. Nothing
// when it exists but cannot be read (errno tells why).
std::optional<IniDocument> LoadForEdit(const std::string& file) {
  if (DirectoryExists(file)) {
    errno = EISDIR;
    return std::nullopt;
  }
  if (!FileExists(file)) return IniDocument::Parse("");
  const std::optional<std::string> bytes = ReadWholeFile(file);
  if (!bytes) return std::nullopt;
  return IniDocument::Parse(*bytes);
}

}  // namespace

std::optional<std::string> IniReadValue(const std::string& file, const std::string& section,
                                        const std::string& key) {
  const std::optional<std::string> bytes = ReadWholeFile(file);
  if (!bytes) return std::nullopt;
  return IniDocument::Parse(*bytes).Read(section, key);
}

bool IniWriteValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) {
  std::optional<IniDocument> doc = LoadForEdit(file);
  if (!doc) return false;
  doc->Write(section, key, value);
  return ReplaceFileAtomically(file, doc->Serialize());
}

bool IniDeleteKey(const std::string& file, const std::string& section, const std::string& key) {
  if (!FileExists(file)) return true;
  std::optional<IniDocument> doc = LoadForEdit(file);
  if (!doc) return false;
  if (!doc->Delete(section, key)) return true;
  return ReplaceFileAtomically(file, doc->Serialize());
}

}  // namespace platform
