# The Windows installer under Wine: built first (a fixture, since it is not
# part of the default build), then installed silently into a fresh prefix,
# run and uninstalled. As root the test runs in a private onion network (and
# a network namespace) of its own, and the installed Nimbra gets ready in it.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  # The 64-bit build stands in where no 32-bit code runs, and the installer
  # and its uninstaller are 32-bit programs whatever they install: the test
  # is shown skipped, with the reason, rather than left out unseen.
  add_test(NAME InstallerWine
           COMMAND ${CMAKE_COMMAND} -E echo
                   "SKIPPED: the installer is a 32-bit program, which the 64-bit build cannot test (run the windows preset where 32-bit code runs)")
  set_tests_properties(InstallerWine PROPERTIES SKIP_REGULAR_EXPRESSION "^SKIPPED: ")
elseif(WIN32 AND TARGET torengine AND TARGET installer)
  add_test(NAME InstallerBuild
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target installer)
  set_tests_properties(InstallerBuild PROPERTIES FIXTURES_SETUP nimbra_installer TIMEOUT 600)
  add_test(NAME InstallerWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/installer-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/installer-wineprefix
                   ${CMAKE_BINARY_DIR}/Nimbra-${PROJECT_VERSION}-setup.exe
                   $<TARGET_FILE_DIR:Nimbra> $<TARGET_FILE:ProxyRevert>
                   $<TARGET_FILE:torengine>
                   ${CMAKE_CURRENT_BINARY_DIR}/installer-wine ${CMAKE_BINARY_DIR}/tools
                   $<TARGET_FILE:NimbraService>)
  # Without a namespace of its own (not root) it shares the engine's ports
  # and the endpoint's.
  set_tests_properties(InstallerWine PROPERTIES FIXTURES_REQUIRED nimbra_installer TIMEOUT 900
                       RESOURCE_LOCK "engine_ports;endpoint_port")
endif()
