nimbra_test(ProxyActivatorsTest LIBS nimbra_activators)
nimbra_test(Registryx86x64Test LIBS nimbra_activators)
# The proxy journal: plans, exact putting back, hostile journals. It writes
# the Internet Settings (Wine's shared prefix on Windows), as the
# activators' test and the address lookup's do.
nimbra_test(ProxyJournalTest LIBS nimbra_activators)
set_tests_properties(ProxyJournalTest PROPERTIES RESOURCE_LOCK InternetSettings)

# ProxyRevert end to end: natively on a fake home folder; on Windows under
# Wine in a prefix of its own, prepared with "wine reg add" and files below
# its AppData folder.
if(WIN32)
  add_test(NAME ProxyRevertWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/proxyrevert-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh
                   ${CMAKE_BINARY_DIR}/proxyrevert-wineprefix $<TARGET_FILE:ProxyRevert>
                   ${CMAKE_CURRENT_BINARY_DIR}/proxyrevert-wine)
  set_tests_properties(ProxyRevertWine PROPERTIES TIMEOUT 300)
else()
  add_test(NAME ProxyRevertNative
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/proxyrevert-native.sh
                   $<TARGET_FILE:ProxyRevert> ${CMAKE_CURRENT_BINARY_DIR}/proxyrevert-native)
  set_tests_properties(ProxyRevertNative PROPERTIES TIMEOUT 120)
endif()
