// Routine names for addresses of a loaded module, from the COFF symbol table
// that MinGW leaves in unstripped programs: the Windows build's symbol
// source for stack lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::win32 {

class PeSymbols {
 public:
  // Parses the image file's bytes; an image without a symbol table (or one
  // that cannot be read) gives an empty table.
  explicit PeSymbols(std::string_view image);

  // The routine whose code holds `rva` (an offset from the module's load
  // address), demangled and dotted; empty when unknown.
  std::string RoutineAt(std::uint32_t rva) const;
  bool Empty() const { return symbols_.empty(); }

 private:
  struct Symbol {
    std::uint32_t rva;
    std::string name;
  };
  std::vector<Symbol> symbols_;
  std::uint32_t code_end_ = 0;
};

}  // namespace platform::win32
