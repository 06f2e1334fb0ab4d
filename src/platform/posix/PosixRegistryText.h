// The text of the POSIX registry stand-in's file, read into keys and values
// and written back (PosixRegistry.cpp). Reading never fails: lines that
// cannot be read are skipped.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace platform::posix {

struct RegistryValue {
  std::string name;
  RegValue data;
};

struct RegistryKey {
  std::string path;  // as first created, root included
  std::vector<RegistryValue> values;
};

// Keys by lower-cased full path, in the order of the map (sorted), which
// keeps the file stable between rewrites.
using RegistryHive = std::map<std::string, RegistryKey>;

RegistryHive ParseRegistryText(std::string_view text);
std::string FormatRegistryText(const RegistryHive& hive);

}  // namespace platform::posix
