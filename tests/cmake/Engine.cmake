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
target_link_libraries(engine_host PRIVATE nimbra_engine)
nimbra_executable_options(engine_host)

nimbra_test(TorControlTest LIBS nimbra_engine)
nimbra_test(BridgeLinesTest LIBS nimbra_engine)
nimbra_test(RealTorTest LIBS nimbra_engine)
nimbra_test(RealEngineTest LIBS nimbra_engine)
nimbra_test(ProcessTest LIBS nimbra_engine)
# A silent engine on the control port, with the main window polling it.
nimbra_test(HungEngineTest LIBS nimbra_app nimbra_skin_fixture nimbra_lang_consts)
set_tests_properties(HungEngineTest PROPERTIES RESOURCE_LOCK engine_ports)

# They load the engine libraries of tools/ and start the killable host.
foreach(test TorControlTest RealTorTest RealEngineTest ProcessTest)
  add_dependencies(${test} simengine torlauncher engine_noexport engine_host)
  target_compile_definitions(${test} PRIVATE
    NIMBRA_SIMENGINE_DLL="$<TARGET_FILE:simengine>"
    NIMBRA_LAUNCHER_DLL="$<TARGET_FILE:torlauncher>"
    NIMBRA_NOEXPORT_DLL="$<TARGET_FILE:engine_noexport>"
    NIMBRA_ENGINE_HOST="$<TARGET_FILE:engine_host>")
  if(TARGET torengine)
    add_dependencies(${test} torengine)
    target_compile_definitions(${test} PRIVATE NIMBRA_TORENGINE_DLL="$<TARGET_FILE:torengine>")
  endif()
endforeach()
set_tests_properties(TorControlTest RealTorTest RealEngineTest PROPERTIES RESOURCE_LOCK
                                                                          engine_ports)

# The real engine in a private onion network on loopback: the program runs
# inside run-in-testnet.sh, which gives it a network namespace and a network
# of its own (and so no shared ports to lock).
add_executable(PrivateNetworkTest testnet/PrivateNetworkTest.cpp)
target_link_libraries(PrivateNetworkTest PRIVATE nimbra_engine nimbra_test_support GTest::gtest_main
                                                 GTest::gmock)
nimbra_executable_options(PrivateNetworkTest)
if(TARGET torengine)
  add_dependencies(PrivateNetworkTest torengine)
  target_compile_definitions(PrivateNetworkTest PRIVATE
    NIMBRA_TORENGINE_DLL="$<TARGET_FILE:torengine>")
endif()
set(testnet_runner ${CMAKE_CURRENT_SOURCE_DIR}/testnet/run-in-testnet.sh)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  # A prefix of its own, whose server (where Wine makes the sockets) lives in
  # the test's namespace.
  set(testnet_prefix ${CMAKE_BINARY_DIR}/testnet-wineprefix)
  list(APPEND testnet_runner --wineprefix ${testnet_prefix}
       ${CMAKE_CURRENT_BINARY_DIR}/PrivateNetworkTest.work
       ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh --prefix ${testnet_prefix})
else()
  list(APPEND testnet_runner ${CMAKE_CURRENT_BINARY_DIR}/PrivateNetworkTest.work)
endif()
add_test(NAME PrivateNetworkTest COMMAND ${testnet_runner} $<TARGET_FILE:PrivateNetworkTest>)
set_tests_properties(PrivateNetworkTest PROPERTIES TIMEOUT 600)

if(NIMBRA_SANITIZE)
  # Tor leaves its worker threads' small states unfreed once per run; the
  # library is gone by the time the leak check runs, so only its name is left
  # to match.
  set(engine_leaks LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/support/engine-leaks.supp)
  set_tests_properties(RealEngineTest PrivateNetworkTest PROPERTIES ENVIRONMENT "${engine_leaks}")
endif()

# Nimbra.exe under Wine with the real engine in the private network.
if(WIN32 AND TARGET torengine AND TARGET Nimbra)
  add_test(NAME NimbraTestnetWine
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testnet/run-in-testnet.sh
                   --wineprefix ${CMAKE_BINARY_DIR}/nimbra-testnet-wineprefix
                   ${CMAKE_CURRENT_BINARY_DIR}/nimbra-testnet.work
                   ${CMAKE_CURRENT_SOURCE_DIR}/e2e/nimbra-testnet-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh
                   ${CMAKE_BINARY_DIR}/nimbra-testnet-wineprefix
                   $<TARGET_FILE_DIR:Nimbra> ${CMAKE_BINARY_DIR}/tools
                   ${CMAKE_CURRENT_BINARY_DIR}/nimbra-testnet.work/run)
  set_tests_properties(NimbraTestnetWine PROPERTIES TIMEOUT 600)
endif()
