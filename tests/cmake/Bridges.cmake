# Bridges with the obfs4 transport. Natively: a plain tor client behind a
# censor in the private onion network with an obfs4 bridge, as root in a
# namespace of its own (skipped otherwise), with the obfs4proxy that
# scripts/build-mingw-deps.sh built into the native prefix. For Windows:
# the obfs4proxy.exe it built, under Wine as the engine will start it, and
# in the installer beside Nimbra.exe.
if(NOT WIN32)
  add_executable(testnet-address-echo testnet/AddressEchoMain.cpp)
  target_link_libraries(testnet-address-echo PRIVATE nimbra_base)
  nimbra_executable_options(testnet-address-echo)
  get_property(native_deps GLOBAL PROPERTY nimbra_native_deps)
  add_test(NAME CensoredBridge
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testnet/censored-bridge.sh
                   ${CMAKE_CURRENT_BINARY_DIR}/censored-bridge.work
                   $<TARGET_FILE:testnet-address-echo>)
  set_tests_properties(CensoredBridge PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77
                       ENVIRONMENT "NIMBRA_NATIVE_DEPS=${native_deps}")

  # Nimbra's own engine host and control client behind the same censor.
  add_executable(CensoredEngineTest testnet/CensoredEngineTest.cpp)
  target_link_libraries(CensoredEngineTest PRIVATE nimbra_engine nimbra_test_support
                                                   GTest::gtest_main GTest::gmock)
  nimbra_executable_options(CensoredEngineTest)
  if(TARGET torengine)
    add_dependencies(CensoredEngineTest torengine)
    target_compile_definitions(CensoredEngineTest PRIVATE
      NIMBRA_TORENGINE_DLL="$<TARGET_FILE:torengine>")
  endif()
  add_test(NAME CensoredEngine
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testnet/censored-engine.sh
                   ${CMAKE_CURRENT_BINARY_DIR}/censored-engine.work
                   $<TARGET_FILE:CensoredEngineTest> $<TARGET_FILE:testnet-address-echo>)
  set_tests_properties(CensoredEngine PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77
                       ENVIRONMENT "NIMBRA_NATIVE_DEPS=${native_deps}")
  if(NIMBRA_SANITIZE)
    set_property(TEST CensoredEngine APPEND PROPERTY ENVIRONMENT
      LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/support/engine-leaks.supp)
  endif()
endif()

if(WIN32)
  find_file(NIMBRA_OBFS4PROXY_EXE obfs4proxy.exe PATHS ${CMAKE_PREFIX_PATH} PATH_SUFFIXES bin
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NIMBRA_OBFS4PROXY_EXE)
    add_test(NAME Obfs4proxyWine
             COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/obfs4proxy-wine.sh
                     ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/obfs4proxy-wineprefix
                     ${NIMBRA_OBFS4PROXY_EXE} ${CMAKE_CURRENT_BINARY_DIR}/obfs4proxy-wine)
    set_tests_properties(Obfs4proxyWine PROPERTIES TIMEOUT 300)
  endif()
  if(TARGET torengine AND TARGET installer AND NIMBRA_OBFS4PROXY_EXE)
    add_test(NAME InstallerContents
             COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/installer-contents.sh
                     ${CMAKE_BINARY_DIR}/Nimbra-${PROJECT_VERSION}-setup.exe
                     $<TARGET_FILE:torengine> ${NIMBRA_OBFS4PROXY_EXE}
                     ${CMAKE_CURRENT_BINARY_DIR}/installer-contents)
    set_tests_properties(InstallerContents PROPERTIES FIXTURES_REQUIRED nimbra_installer TIMEOUT 120)
  endif()
endif()
