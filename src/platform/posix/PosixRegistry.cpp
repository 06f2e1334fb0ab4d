// The registry stand-in: one text file in the layout of an exported registry
// ("[HKEY_CURRENT_USER\Key]" headers, "name"=dword:xxxxxxxx or "name"="text"
// lines). Every operation reads the file afresh and every change replaces it
// atomically, so other processes see each change and nothing is half-written.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/RegistryInternal.h"
#include "platform/posix/PosixRegistryText.h"

namespace platform {

namespace {

using Value = posix::RegistryValue;
using Key = posix::RegistryKey;
using Hive = posix::RegistryHive;

std::mutex g_mutex;
std::string g_file;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

const char* RootName(RegRoot root) {
  return root == RegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

// "Software\\A\\" and "Software/A" name the same key.
std::string FullPath(RegRoot root, const std::string& path) {
  std::string full = RootName(root);
  std::string part;
  auto flush = [&] {
    if (!part.empty()) full += "\\" + part;
    part.clear();
  };
  for (char c : path) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      part += c;
    }
  }
  flush();
  return full;
}

std::string ParentPath(const std::string& full) {
  const std::size_t at = full.rfind('\\');
  return at == std::string::npos ? "" : full.substr(0, at);
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

// Reads a quoted text starting at `i` (at the opening quote); false when the
// text is not closed on this line.
bool Unquote(const std::string& line, std::size_t& i, std::string& out) {
  if (i >= line.size() || line[i] != '"') return false;
  out.clear();
  for (++i; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      ++i;
      return true;
    }
    if (c == '\\' && i + 1 < line.size()) {
      c = line[++i];
      if (c == 'n') c = '\n';
      if (c == 'r') c = '\r';
    }
    out += c;
  }
  return false;
}

std::string HexBytes(const std::string& bytes) {
  std::string out;
  char buffer[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(bytes[i]));
    if (i > 0) out += ",";
    out += buffer;
  }
  return out;
}

bool ParseValue(const std::string& line, Value& value) {
  std::size_t i = 0;
  if (!line.empty() && line[0] == '@') {
    value.name.clear();
    i = 1;
  } else if (!Unquote(line, i, value.name)) {
    return false;
  }
  if (i >= line.size() || line[i] != '=') return false;
  const std::string rest = line.substr(i + 1);
  RegValue& data = value.data;
  if (rest.rfind("dword:", 0) == 0) {
    char* end = nullptr;
    const std::string digits = rest.substr(6);
    const unsigned long parsed = std::strtoul(digits.c_str(), &end, 16);
    if (digits.empty() || *end != '\0') return false;
    data.type = RegType::DWord;
    data.dword = static_cast<std::uint32_t>(parsed);
    return true;
  }
  std::size_t j = 0;
  if (rest.rfind("expand:", 0) == 0) {
    j = 7;
    data.type = RegType::ExpandString;
    return Unquote(rest, j, data.text);
  }
  if (rest.rfind("hex(", 0) == 0) {
    const std::size_t close = rest.find("):");
    if (close == std::string::npos) return false;
    data.type = static_cast<RegType>(std::strtoul(rest.substr(4, close - 4).c_str(), nullptr, 16));
    data.bytes.clear();
    std::string digits = rest.substr(close + 2);
    for (std::size_t k = 0; k + 2 <= digits.size(); k += 3) {
      data.bytes += static_cast<char>(std::strtoul(digits.substr(k, 2).c_str(), nullptr, 16));
    }
    // The types with a form of their own take their value from the bytes,
    // so that the value reads the same after the file is written back.
    if (data.type == RegType::String || data.type == RegType::ExpandString) {
      data.text = data.bytes;
      data.bytes.clear();
    } else if (data.type == RegType::DWord) {
      if (data.bytes.size() != 4) return false;
      data.dword = 0;
      for (int b = 3; b >= 0; --b) {
        data.dword = data.dword << 8 | static_cast<unsigned char>(data.bytes[b]);
      }
      data.bytes.clear();
    }
    return true;
  }
  data.type = RegType::String;
  return Unquote(rest, j, data.text);
}

std::string FormatValue(const Value& value) {
  std::string line = value.name.empty() ? "@" : Quote(value.name);
  line += "=";
  const RegValue& data = value.data;
  char buffer[16];
  switch (data.type) {
    case RegType::DWord:
      std::snprintf(buffer, sizeof buffer, "%08x", data.dword);
      return line + "dword:" + buffer;
    case RegType::String:
      return line + Quote(data.text);
    case RegType::ExpandString:
      return line + "expand:" + Quote(data.text);
    default:
      std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned>(data.type));
      return line + "hex(" + buffer + "):" + HexBytes(data.bytes);
  }
}

Hive Load() {
  const auto content = ReadWholeFile(g_file);
  return content ? posix::ParseRegistryText(*content) : Hive();
}

std::uint32_t Save(const Hive& hive) {
  const std::string text = posix::FormatRegistryText(hive);
  ForceDirectories(ExtractFilePath(g_file));
  if (!ReplaceFileAtomically(g_file, text))
    return errno != 0 ? static_cast<std::uint32_t>(errno) : EIO;
  return 0;
}

}  // namespace

// Lines that cannot be read are skipped: a damaged file loses only them.
posix::RegistryHive posix::ParseRegistryText(std::string_view content) {
  Hive hive;
  Key* current = nullptr;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line(content.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' && line.back() == ']') {
      const std::string path = line.substr(1, line.size() - 2);
      Key& key = hive[Lower(path)];
      if (key.path.empty()) key.path = path;
      current = &key;
      continue;
    }
    Value value;
    if (current != nullptr && ParseValue(line, value)) current->values.push_back(value);
  }
  return hive;
}

std::string posix::FormatRegistryText(const RegistryHive& hive) {
  std::string text = "; registry stand-in\n";
  for (const auto& [lower, key] : hive) {
    text += "\n[" + key.path + "]\n";
    for (const Value& value : key.values) text += FormatValue(value) + "\n";
  }
  return text;
}

namespace {

void EnsureFileName() {
  if (!g_file.empty()) return;
  if (const char* env = std::getenv("NIMBRA_REGISTRY_FILE"); env != nullptr && env[0] != '\0') {
    g_file = env;
    return;
  }
  g_file = GetSpecialFolder(SpecialFolder::AppData) + "/nimbra/registry.reg";
}

Value* FindValue(Key& key, const std::string& name) {
  const std::string wanted = Lower(name);
  for (Value& value : key.values) {
    if (Lower(value.name) == wanted) return &value;
  }
  return nullptr;
}

}  // namespace

struct RegKey::State {
  std::string full_path;
  std::uint32_t access = 0;
};

std::uint32_t RegErrorNotFound() { return ENOENT; }

RegKey::RegKey() = default;
RegKey::RegKey(RegKey&&) noexcept = default;
RegKey& RegKey::operator=(RegKey&&) noexcept = default;
RegKey::~RegKey() = default;

std::uint32_t RegKey::Open(RegRoot root, const std::string& path, std::uint32_t access) {
  Close();
  std::lock_guard<std::mutex> lock(g_mutex);
  EnsureFileName();
  const std::string full = FullPath(root, path);
  const Hive hive = Load();
  // The root keys always exist, as they do on Windows.
  if (full.find('\\') != std::string::npos && hive.find(Lower(full)) == hive.end()) return ENOENT;
  state_ = std::make_unique<State>(State{full, access});
  return 0;
}

std::uint32_t RegKey::Create(RegRoot root, const std::string& path, std::uint32_t access) {
  Close();
  std::lock_guard<std::mutex> lock(g_mutex);
  EnsureFileName();
  const std::string full = FullPath(root, path);
  Hive hive = Load();
  bool changed = false;
  for (std::string at = full; at.find('\\') != std::string::npos; at = ParentPath(at)) {
    Key& key = hive[Lower(at)];
    if (key.path.empty()) {
      key.path = at;
      changed = true;
    }
  }
  if (changed) {
    if (const std::uint32_t error = Save(hive)) return error;
  }
  state_ = std::make_unique<State>(State{full, access});
  return 0;
}

void RegKey::Close() { state_.reset(); }

bool RegKey::IsOpen() const { return state_ != nullptr; }

std::uint32_t RegKey::Query(const std::string& name, RegValue& out) const {
  if (!state_) return EBADF;
  if ((state_->access & kKeyQueryValue) == 0) return EACCES;
  std::lock_guard<std::mutex> lock(g_mutex);
  Hive hive = Load();
  auto it = hive.find(Lower(state_->full_path));
  if (it == hive.end()) return ENOENT;
  const Value* value = FindValue(it->second, name);
  if (value == nullptr) return ENOENT;
  out = value->data;
  return 0;
}

namespace {
std::uint32_t StoreValue(const std::string& full_path, std::uint32_t access,
                         const std::string& name, const RegValue& data) {
  if ((access & kKeySetValue) == 0) return EACCES;
  if (const std::uint32_t refused = internal::RegistryWriteRefusal(full_path, name)) return refused;
  std::lock_guard<std::mutex> lock(g_mutex);
  Hive hive = Load();
  auto it = hive.find(Lower(full_path));
  if (it == hive.end()) return ENOENT;
  if (Value* value = FindValue(it->second, name)) {
    value->data = data;
  } else {
    it->second.values.push_back({name, data});
  }
  return Save(hive);
}
}  // namespace

std::uint32_t RegKey::SetString(const std::string& name, const std::string& value, RegType type) {
  if (!state_) return EBADF;
  RegValue data;
  data.type = type == RegType::ExpandString ? RegType::ExpandString : RegType::String;
  data.text = value;
  return StoreValue(state_->full_path, state_->access, name, data);
}

std::uint32_t RegKey::SetDWord(const std::string& name, std::uint32_t value) {
  if (!state_) return EBADF;
  RegValue data;
  data.type = RegType::DWord;
  data.dword = value;
  return StoreValue(state_->full_path, state_->access, name, data);
}

std::uint32_t RegKey::SetValue(const std::string& name, const RegValue& value) {
  if (!state_) return EBADF;
  RegValue data;
  data.type = value.type;
  if (value.type == RegType::String || value.type == RegType::ExpandString) {
    data.text = value.text;
  } else if (value.type == RegType::DWord) {
    data.dword = value.dword;
  } else {
    data.bytes = value.bytes;
  }
  return StoreValue(state_->full_path, state_->access, name, data);
}

std::uint32_t RegKey::DeleteValue(const std::string& name) {
  if (!state_) return EBADF;
  if ((state_->access & kKeySetValue) == 0) return EACCES;
  std::lock_guard<std::mutex> lock(g_mutex);
  Hive hive = Load();
  auto it = hive.find(Lower(state_->full_path));
  if (it == hive.end()) return ENOENT;
  auto& values = it->second.values;
  const std::string wanted = Lower(name);
  for (auto v = values.begin(); v != values.end(); ++v) {
    if (Lower(v->name) == wanted) {
      values.erase(v);
      return Save(hive);
    }
  }
  return ENOENT;
}

std::uint32_t RegDeleteKeyTree(RegRoot root, const std::string& path, std::uint32_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  EnsureFileName();
  const std::string full = Lower(FullPath(root, path));
  Hive hive = Load();
  bool found = false;
  for (auto it = hive.begin(); it != hive.end();) {
    if (it->first == full || it->first.rfind(full + "\\", 0) == 0) {
      it = hive.erase(it);
      found = true;
    } else {
      ++it;
    }
  }
  if (!found) return ENOENT;
  return Save(hive);
}

void SetRegistryFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_file = path;
}

std::string RegistryFile() {
  std::lock_guard<std::mutex> lock(g_mutex);
  EnsureFileName();
  return g_file;
}

}  // namespace platform
