#include "platform/win32/PeSymbols.h"

#include <algorithm>
#include <cstring>

#include "platform/ExceptionHookInternal.h"

namespace platform::win32 {

namespace {

template <typename T>
bool ReadAt(std::string_view image, std::size_t offset, T& out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, image.data() + offset, sizeof(T));
  return true;
}

constexpr std::size_t kSymbolSize = 18;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint32_t kCodeSection = 0x00000020;  // IMAGE_SCN_CNT_CODE
constexpr std::uint16_t kMachineI386 = 0x014C;      // IMAGE_FILE_MACHINE_I386

}  // namespace

PeSymbols::PeSymbols(std::string_view image) {
  std::uint32_t pe_offset = 0;
  if (!ReadAt(image, 0x3C, pe_offset)) return;
  std::uint32_t signature = 0;
  if (!ReadAt(image, pe_offset, signature) || signature != 0x00004550) return;
  const std::size_t file_header = pe_offset + 4;
  std::uint16_t machine = 0;
  std::uint16_t section_count = 0;
  std::uint32_t symbol_table = 0;
  std::uint32_t symbol_count = 0;
  std::uint16_t optional_size = 0;
  if (!ReadAt(image, file_header, machine) || !ReadAt(image, file_header + 2, section_count) ||
      !ReadAt(image, file_header + 8, symbol_table) ||
      !ReadAt(image, file_header + 12, symbol_count) ||
      !ReadAt(image, file_header + 16, optional_size)) {
    return;
  }
  if (symbol_table == 0 || symbol_count == 0) return;
  const std::size_t strings = symbol_table + std::size_t{symbol_count} * kSymbolSize;
  if (strings > image.size()) return;

  // Section numbers are 1-based; only code sections hold routines.
  struct Section {
    std::uint32_t rva;
    bool code;
  };
  std::vector<Section> sections;
  const std::size_t headers = file_header + 20 + optional_size;
  for (std::uint16_t i = 0; i < section_count; ++i) {
    std::uint32_t size = 0, rva = 0, flags = 0;
    const std::size_t at = headers + i * kSectionHeaderSize;
    if (!ReadAt(image, at + 8, size) || !ReadAt(image, at + 12, rva) ||
        !ReadAt(image, at + 36, flags)) {
      return;
    }
    sections.push_back({rva, (flags & kCodeSection) != 0});
    if ((flags & kCodeSection) != 0) code_end_ = std::max(code_end_, rva + size);
  }

  for (std::uint32_t i = 0; i < symbol_count; ++i) {
    const std::size_t at = symbol_table + std::size_t{i} * kSymbolSize;
    std::uint32_t value = 0;
    std::int16_t section = 0;
    std::uint16_t type = 0;
    std::uint8_t storage = 0, aux = 0;
    ReadAt(image, at + 8, value);
    ReadAt(image, at + 12, section);
    ReadAt(image, at + 14, type);
    ReadAt(image, at + 16, storage);
    ReadAt(image, at + 17, aux);
    const bool is_function = (type & 0xF0) == 0x20;
    const bool is_global_or_static = storage == 2 || storage == 3;
    if (section > 0 && section <= static_cast<int>(sections.size()) && sections[section - 1].code &&
        is_global_or_static && is_function) {
      std::string name;
      std::uint32_t zeroes = 0;
      ReadAt(image, at, zeroes);
      if (zeroes == 0) {
        std::uint32_t offset = 0;
        ReadAt(image, at + 4, offset);
        const std::size_t start = strings + offset;
        if (start < image.size()) {
          const std::size_t end = image.find('\0', start);
          name =
              std::string(image.substr(start, end == std::string_view::npos ? end : end - start));
        }
      } else {
        name = std::string(image.substr(at, 8).data(), strnlen(image.data() + at, 8));
      }
      // The i686 ABI prefixes C and C++ names with one underscore; x86_64
      // names are as written.
      if (machine == kMachineI386 && !name.empty() && name[0] == '_') name.erase(0, 1);
      if (!name.empty()) {
        symbols_.push_back(
            {sections[section - 1].rva + value, internal::RoutineName(name.c_str())});
      }
    }
    i += aux;
  }
  std::sort(symbols_.begin(), symbols_.end(),
            [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
}

std::string PeSymbols::RoutineAt(std::uint32_t rva) const {
  if (rva >= code_end_) return "";
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                             [](std::uint32_t value, const Symbol& s) { return value < s.rva; });
  if (it == symbols_.begin()) return "";
  return std::prev(it)->name;
}

}  // namespace platform::win32
