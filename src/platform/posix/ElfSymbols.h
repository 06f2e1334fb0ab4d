// Routine names for addresses of a loaded ELF object, from its own symbol
// table (.symtab, which also lists the routines the linker keeps local to
// their file: static ones and those of anonymous namespaces), falling back
// to the dynamic symbols of a stripped object: the native build's symbol
// source for stack lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::posix {

class ElfSymbols {
 public:
  // Parses the object file's bytes; a file that is no ELF object, or one
  // that cannot be read, gives an empty table.
  explicit ElfSymbols(std::string_view image);

  // The routine whose code holds `value` (an address as the object's symbols
  // give it: the run-time address minus the object's load bias), demangled
  // and dotted; empty when unknown.
  std::string RoutineAt(std::uint64_t value) const;
  bool Empty() const { return symbols_.empty(); }

 private:
  struct Symbol {
    std::uint64_t value;
    std::uint64_t size;
    std::string name;  // as the table has it: turned into a routine name on lookup
  };
  std::vector<Symbol> symbols_;
};

// The routine holding a run-time address of this process, from the symbol
// table of the loaded object that holds it (each read once); empty when
// unknown.
std::string RoutineOfLoadedCode(std::uintptr_t address);

}  // namespace platform::posix
