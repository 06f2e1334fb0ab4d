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

foreach(test TorControlTest RealTorTest)
  if(TARGET ${test})
    add_dependencies(${test} simengine torlauncher engine_noexport)
    target_compile_definitions(${test} PRIVATE
      NIMBRA_SIMENGINE_DLL="$<TARGET_FILE:simengine>"
      NIMBRA_LAUNCHER_DLL="$<TARGET_FILE:torlauncher>"
      NIMBRA_NOEXPORT_DLL="$<TARGET_FILE:engine_noexport>")
    set_tests_properties(${test} PROPERTIES RESOURCE_LOCK engine_ports)
  endif()
endforeach()
