#include "platform/posix/ElfSymbols.h"

#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/ExceptionHookInternal.h"
#include "platform/Files.h"

namespace platform::posix {

namespace {

template <typename T>
bool ReadAt(std::string_view image, std::uint64_t offset, T& out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, image.data() + offset, sizeof(T));
  return true;
}

struct RawSymbol {
  std::uint64_t value;
  std::uint64_t size;
  std::string_view name;
};

// The function symbols of every table of `type`, for one ELF class.
template <typename Ehdr, typename Shdr, typename Sym, typename Info>
void Collect(std::string_view image, std::uint32_t type, Info symbol_type,
             std::vector<RawSymbol>& out) {
  Ehdr header;
  if (!ReadAt(image, 0, header) || header.e_shentsize != sizeof(Shdr)) return;
  for (std::uint32_t i = 0; i < header.e_shnum; ++i) {
    Shdr section;
    if (!ReadAt(image, header.e_shoff + std::uint64_t{i} * sizeof(Shdr), section)) return;
    if (section.sh_type != type || section.sh_entsize != sizeof(Sym)) continue;
    Shdr strings;
    if (section.sh_link >= header.e_shnum ||
        !ReadAt(image, header.e_shoff + std::uint64_t{section.sh_link} * sizeof(Shdr), strings)) {
      continue;
    }
    if (strings.sh_offset > image.size() || image.size() - strings.sh_offset < strings.sh_size) {
      continue;
    }
    const std::string_view names = image.substr(strings.sh_offset, strings.sh_size);
    const std::uint64_t count = section.sh_size / sizeof(Sym);
    for (std::uint64_t n = 0; n < count; ++n) {
      Sym symbol;
      if (!ReadAt(image, section.sh_offset + n * sizeof(Sym), symbol)) break;
      if (symbol_type(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF ||
          symbol.st_value == 0 || symbol.st_name >= names.size()) {
        continue;
      }
      const std::string_view rest = names.substr(symbol.st_name);
      const std::string_view name = rest.substr(0, rest.find('\0'));
      if (!name.empty()) out.push_back({symbol.st_value, symbol.st_size, name});
    }
  }
}

void CollectAll(std::string_view image, std::uint32_t type, std::vector<RawSymbol>& out) {
  if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) return;
  if (image[EI_DATA] != ELFDATA2LSB) return;
  if (image[EI_CLASS] == ELFCLASS64) {
    Collect<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(
        image, type, [](unsigned char info) { return ELF64_ST_TYPE(info); }, out);
  } else if (image[EI_CLASS] == ELFCLASS32) {
    Collect<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(
        image, type, [](unsigned char info) { return ELF32_ST_TYPE(info); }, out);
  }
}

}  // namespace

ElfSymbols::ElfSymbols(std::string_view image) {
  std::vector<RawSymbol> raw;
  CollectAll(image, SHT_SYMTAB, raw);
  if (raw.empty()) CollectAll(image, SHT_DYNSYM, raw);
  std::sort(raw.begin(), raw.end(), [](const RawSymbol& a, const RawSymbol& b) {
    return a.value < b.value || (a.value == b.value && a.size > b.size);
  });
  symbols_.reserve(raw.size());
  for (const RawSymbol& symbol : raw) {
    // One name per address: aliases share it.
    if (!symbols_.empty() && symbols_.back().value == symbol.value) continue;
    symbols_.push_back({symbol.value, symbol.size, std::string(symbol.name)});
  }
}

std::string ElfSymbols::RoutineAt(std::uint64_t value) const {
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), value,
                             [](std::uint64_t v, const Symbol& s) { return v < s.value; });
  if (it == symbols_.begin()) return "";
  const Symbol& symbol = *std::prev(it);
  // A sized symbol covers only its own bytes; beyond them the address
  // belongs to something without a name here.
  if (symbol.size != 0 && value >= symbol.value + symbol.size) return "";
  return internal::RoutineName(symbol.name.c_str());
}

namespace {

// The loaded object holding an address: its file and load bias.
struct ObjectOf {
  std::uintptr_t address = 0;
  bool found = false;
  std::string file;
  std::uintptr_t bias = 0;
};

int FindObject(dl_phdr_info* info, std::size_t, void* data) {
  auto* object = static_cast<ObjectOf*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
    if (object->address >= begin && object->address < begin + ph.p_memsz) {
      object->found = true;
      // The program itself comes without a name.
      object->file =
          info->dlpi_name != nullptr && *info->dlpi_name != 0 ? info->dlpi_name : "/proc/self/exe";
      object->bias = info->dlpi_addr;
      return 1;
    }
  }
  return 0;
}

// Symbol tables of the objects seen so far, read from their files once.
std::mutex g_symbols_mutex;
std::map<std::string, std::unique_ptr<posix::ElfSymbols>> g_symbols;

}  // namespace

std::string RoutineOfLoadedCode(std::uintptr_t address) {
  ObjectOf object;
  object.address = address;
  dl_iterate_phdr(FindObject, &object);
  if (!object.found) return "";
  std::lock_guard<std::mutex> lock(g_symbols_mutex);
  auto& symbols = g_symbols[object.file];
  if (!symbols) {
    const auto image = ReadWholeFile(object.file);
    symbols = std::make_unique<posix::ElfSymbols>(image ? *image : std::string());
  }
  return symbols->RoutineAt(address - object.bias);
}

}  // namespace platform::posix
