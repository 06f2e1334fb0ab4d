# The windowed program's tests: the controller and the start-up, headless.
# The main window's tests talk to the service stand-in over the pipe.
target_link_libraries(MainFormTest PRIVATE nimbra_pipeservice nimbra_lang_consts)
target_link_libraries(StartupTest PRIVATE nimbra_lang_consts)
if(NOT WIN32)
  set_tests_properties(MainFormTest StartupTest PROPERTIES ENVIRONMENT
                       "NIMBRA_NAMED_OBJECTS=${CMAKE_BINARY_DIR}/named-objects")
endif()

# Nimbra.exe itself under Wine, in a prefix of its own, with the simulated
# engine, the service stand-in and a local address endpoint.
if(WIN32)
  add_test(NAME NimbraWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/nimbra-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/nimbra-wineprefix
                   $<TARGET_FILE_DIR:Nimbra> ${CMAKE_BINARY_DIR}/tools
                   ${CMAKE_CURRENT_BINARY_DIR}/nimbra-wine)
  set_tests_properties(NimbraWine PROPERTIES TIMEOUT 300 RESOURCE_LOCK engine_ports)
endif()

# A silent engine on the control port.
target_link_libraries(HungEngineTest PRIVATE nimbra_lang_consts)
set_tests_properties(HungEngineTest PROPERTIES RESOURCE_LOCK engine_ports)

# Under Wine the tests share one registry: those that write the start-up
# entry or the debug-mode key take turns (natively each has a file of its
# own).
if(WIN32)
  set_tests_properties(MainFormTest StartupTest SkinnedWindowsTest LoggerTest PROPERTIES
                       RESOURCE_LOCK nimbra_registry)
  set_tests_properties(HungEngineTest PROPERTIES RESOURCE_LOCK "engine_ports;nimbra_registry")
endif()

# The skinned windows' tests read the sample translation beside the test.
target_link_libraries(SkinnedWindowsTest PRIVATE nimbra_lang_consts)

# Nimbra.exe's windows under Wine with real input and screenshots, kept in
# the build folder's screenshots/.
if(WIN32)
  add_test(NAME NimbraWindowsWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/nimbra-ui-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/nimbra-ui-wineprefix
                   $<TARGET_FILE_DIR:Nimbra> ${CMAKE_BINARY_DIR}/tools
                   ${CMAKE_CURRENT_BINARY_DIR}/nimbra-ui-wine ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(NimbraWindowsWine PROPERTIES TIMEOUT 400 RESOURCE_LOCK engine_ports)
endif()
