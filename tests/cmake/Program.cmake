# The windowed program's tests: the controller and the start-up, headless.
# The main window's tests talk to the service stand-in over the pipe.
nimbra_test(MainFormTest LIBS nimbra_app nimbra_skin_fixture nimbra_lang_consts)
nimbra_test(StartupTest LIBS nimbra_app nimbra_skin_fixture nimbra_lang_consts)
# The skinned windows' tests read the sample translation beside the test.
nimbra_test(SkinnedWindowsTest LIBS nimbra_app nimbra_skin_fixture nimbra_lang_consts)
nimbra_test(RefreshIPThreadTest LIBS nimbra_app)
# Every text of every language in its room: natively laid out with FreeType
# in the label font the program ships and the faces that stand in for
# Tahoma in the screenshots; under Wine, measured by GDI in the same fonts
# by TextFitWine below.
nimbra_test(TextFitTest LIBS nimbra_app nimbra_skin_fixture nimbra_lang_consts)
if(NOT WIN32)
  target_link_libraries(TextFitTest PRIVATE nimbra_font_measure)
  target_compile_definitions(TextFitTest PRIVATE NIMBRA_PROGRAM_DIR="$<TARGET_FILE_DIR:Nimbra>")
  add_dependencies(TextFitTest nimbra_skin)
endif()
# The address lookup follows the Internet Settings; on Windows they live in
# the Wine prefix that all test programs share, and the activators' test
# points them at proxies of its own. The two never run at the same time.
set_tests_properties(RefreshIPThreadTest ProxyActivatorsTest PROPERTIES RESOURCE_LOCK
                                                                        InternetSettings)
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

# Nimbra.exe started and ended from its tray menu ten times in a row, each
# start reaching its window.
if(WIN32)
  add_test(NAME NimbraStartLoopWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/nimbra-start-loop-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh
                   ${CMAKE_BINARY_DIR}/nimbra-loop-wineprefix $<TARGET_FILE_DIR:Nimbra>
                   ${CMAKE_BINARY_DIR}/tools ${CMAKE_CURRENT_BINARY_DIR}/nimbra-start-loop 10)
  set_tests_properties(NimbraStartLoopWine PROPERTIES TIMEOUT 400 RESOURCE_LOCK engine_ports)
endif()

# Under Wine the tests share one registry: those that write the start-up
# entry or the debug-mode key take turns (natively each has a file of its
# own).
if(WIN32)
  set_tests_properties(MainFormTest StartupTest SkinnedWindowsTest LoggerTest TextFitTest
                       PROPERTIES RESOURCE_LOCK nimbra_registry)
  set_tests_properties(HungEngineTest PROPERTIES RESOURCE_LOCK "engine_ports;nimbra_registry")
endif()

# Nimbra.exe's windows under Wine with real input and screenshots, kept in
# the build folder's screenshots/: the windows' reactions in English
# (screenshots/flow/), and every window in every language
# (screenshots/<language>/, a contact sheet screenshots/<language>.png).
if(WIN32)
  add_test(NAME NimbraWindowsWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/nimbra-ui-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/nimbra-ui-wineprefix
                   $<TARGET_FILE_DIR:Nimbra> ${CMAKE_BINARY_DIR}/tools
                   ${CMAKE_CURRENT_BINARY_DIR}/nimbra-ui-wine ${CMAKE_BINARY_DIR}/screenshots/flow)
  set_tests_properties(NimbraWindowsWine PROPERTIES TIMEOUT 400 RESOURCE_LOCK engine_ports)
  add_test(NAME NimbraLanguagesWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/nimbra-languages-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh
                   ${CMAKE_BINARY_DIR}/nimbra-languages-wineprefix $<TARGET_FILE_DIR:Nimbra>
                   ${CMAKE_BINARY_DIR}/tools ${CMAKE_CURRENT_BINARY_DIR}/nimbra-languages-wine
                   ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(NimbraLanguagesWine PROPERTIES TIMEOUT 900 RESOURCE_LOCK engine_ports)
endif()

# The texts measured by the Win32 backend in a prefix with the screenshots'
# fonts (a prefix of its own, so the shared one keeps Wine's).
if(WIN32)
  add_test(NAME TextFitWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/text-fit-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/text-fit-wineprefix
                   $<TARGET_FILE:TextFitTest> $<TARGET_FILE_DIR:Nimbra>)
  set_tests_properties(TextFitWine PROPERTIES TIMEOUT 600)
endif()
