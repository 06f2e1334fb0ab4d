# Engine libraries: shared libraries named "anon.dll" on every platform, with
# the one export dll_start (cdecl) and the few platform services they use
# compiled in, so that they stand on their own beside any host program.
include_guard(GLOBAL)

function(nimbra_engine_library target)
  set(platform ${PROJECT_SOURCE_DIR}/src/platform)
  if(WIN32)
    set(os ${platform}/win32/Win32)
  else()
    set(os ${platform}/posix/Posix)
  endif()
  add_library(${target} SHARED ${ARGN}
    ${platform}/Text.cpp ${platform}/Paths.cpp ${platform}/Clock.cpp ${platform}/Socket.cpp
    ${os}Files.cpp ${os}Paths.cpp ${os}Socket.cpp ${os}System.cpp ${os}Process.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src
                                               ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  # Its own copies of the platform code stay private: a host that carries the
  # same symbols must not have them bound across.
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME anon PREFIX "" SUFFIX ".dll"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  find_package(Threads REQUIRED)
  target_link_libraries(${target} PRIVATE Threads::Threads)
  if(WIN32)
    # The runtime is linked in: the library needs nothing beside it.
    target_link_libraries(${target} PRIVATE ws2_32 shell32 advapi32)
    target_link_options(${target} PRIVATE -static)
  else()
    target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
    # Everything it needs is inside: nothing may be left for the host to
    # supply by chance.
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
