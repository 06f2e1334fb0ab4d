# Bridges with the obfs4 transport. Natively: a plain tor client behind a
# censor in the private onion network with an obfs4 bridge, as root in a
# namespace of its own (skipped otherwise), with the obfs4proxy that
# scripts/build-mingw-deps.sh built into the native prefix.
if(NOT WIN32)
  add_executable(testnet-address-echo testnet/AddressEchoMain.cpp)
  target_link_libraries(testnet-address-echo PRIVATE nimbra_logic)
  nimbra_executable_options(testnet-address-echo)
  get_property(native_deps GLOBAL PROPERTY nimbra_native_deps)
  add_test(NAME CensoredBridge
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testnet/censored-bridge.sh
                   ${CMAKE_CURRENT_BINARY_DIR}/censored-bridge.work
                   $<TARGET_FILE:testnet-address-echo>)
  set_tests_properties(CensoredBridge PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77
                       ENVIRONMENT "NIMBRA_NATIVE_DEPS=${native_deps}")
endif()
