# The engine tests load the engine libraries of tools/ (built first) and use
# the engine's fixed ports 35490 and 35491, so they never run at the same
# time as each other. (The native and the Windows test runs are made one
# after the other, never together.)

# A library that loads but has no "dll_start".
add_library(engine_noexport SHARED support/NoExportEngine.cpp)
set_target_properties(engine_noexport PROPERTIES
  OUTPUT_NAME anon PREFIX "" SUFFIX ".dll"
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/noexport
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/noexport)

# A host process the tests can kill: it only creates the engine controller.
add_executable(engine_host support/EngineHost.cpp)
target_link_libraries(engine_host PRIVATE nimbra_logic)
nimbra_executable_options(engine_host)

foreach(test TorControlTest RealTorTest ProcessTest)
  if(TARGET ${test})
    add_dependencies(${test} simengine torlauncher engine_noexport engine_host)
    target_compile_definitions(${test} PRIVATE
      NIMBRA_SIMENGINE_DLL="$<TARGET_FILE:simengine>"
      NIMBRA_LAUNCHER_DLL="$<TARGET_FILE:torlauncher>"
      NIMBRA_NOEXPORT_DLL="$<TARGET_FILE:engine_noexport>"
      NIMBRA_ENGINE_HOST="$<TARGET_FILE:engine_host>")
    if(NOT test STREQUAL ProcessTest)
      set_tests_properties(${test} PROPERTIES RESOURCE_LOCK engine_ports)
    endif()
  endif()
endforeach()
