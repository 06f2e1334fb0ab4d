# Helpers shared by the CMake files of the tree.

# Every executable of the project: the exception hook needs throws routed
# through it (Windows) and symbols visible to the stack resolver (POSIX).
function(nimbra_executable_options target)
  if(WIN32)
    target_link_options(${target} PRIVATE -Wl,--wrap=__cxa_throw)
    # Sections page-aligned in the file, so a loader can map them and bring
    # in only the pages used (Wine reads an unaligned section whole), and no
    # debug sections from the static runtime, which would be loaded too. The
    # symbol table stays: it is not loaded, and the exception log reads the
    # routines' names from it.
    target_link_options(${target} PRIVATE -Wl,--strip-debug,--file-alignment,0x1000)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/platform/win32/link/CxaThrowWrap.cpp)
  else()
    target_link_options(${target} PRIVATE -rdynamic)
  endif()
endfunction()

# The sources of one folder, non-recursive, picked up again when files are
# added (so subsystems can grow without touching shared lists).
function(nimbra_glob_sources out folder)
  file(GLOB found CONFIGURE_DEPENDS ${folder}/*.cpp)
  set(${out} ${found} PARENT_SCOPE)
endfunction()
