# The companion service: the HTTP endpoint against a loopback SOCKS server
# and site of its own; what the service needs of the platform, its pipe
# server and activation policy against the real pipe client and against
# scripted Nimbra processes (nimbra_pipe_peer), and the program end to end.
nimbra_test(HttpEndpointTest LIBS nimbra_service_endpoint)
target_sources(HttpEndpointTest PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/LoopbackPeers.cpp)

# A scripted Nimbra: a separate process, so that its end (a normal exit with
# a code, or a kill) is real.
add_executable(nimbra_pipe_peer support/PipePeer.cpp)
target_link_libraries(nimbra_pipe_peer PRIVATE nimbra_pipe)
nimbra_executable_options(nimbra_pipe_peer)

nimbra_test(ServicePlatformTest LIBS nimbra_pipe)
nimbra_test(ServiceTest LIBS nimbra_service)
foreach(test ServicePlatformTest ServiceTest)
  add_dependencies(${test} nimbra_pipe_peer)
  target_compile_definitions(${test} PRIVATE NIMBRA_PIPE_PEER="$<TARGET_FILE:nimbra_pipe_peer>")
  if(NOT WIN32)
    # The named-event stand-ins and the exit records stay in the build folder.
    set_tests_properties(${test} PROPERTIES ENVIRONMENT
                         "NIMBRA_NAMED_OBJECTS=${CMAKE_BINARY_DIR}/named-objects")
  endif()
endforeach()
# It points the Internet Settings (Wine's shared prefix on Windows) at the
# endpoint and back.
set_tests_properties(ServiceTest PROPERTIES RESOURCE_LOCK InternetSettings)

# The program end to end: killed before, during and after its activation,
# refused second starts, its own end and ProxyRevert after a kill; natively
# also the real Nimbra's address lookup through the endpoint's port. As
# root each run has a network namespace of its own (the pipes' names
# natively, the endpoint's port, Wine's server).
if(WIN32)
  add_test(NAME ServiceWine
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/service-e2e.sh $<TARGET_FILE:NimbraService>
                   $<TARGET_FILE:nimbra_pipe_peer> $<TARGET_FILE:ProxyRevert> ${CMAKE_BINARY_DIR}/tools
                   ${CMAKE_CURRENT_BINARY_DIR}/service-wine
                   --wine ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/service-wineprefix)
else()
  add_test(NAME ServiceNative
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/service-e2e.sh $<TARGET_FILE:NimbraService>
                   $<TARGET_FILE:nimbra_pipe_peer> $<TARGET_FILE:ProxyRevert> ${CMAKE_BINARY_DIR}/tools
                   ${CMAKE_CURRENT_BINARY_DIR}/service-native
                   --nimbra $<TARGET_FILE:Nimbra> $<TARGET_FILE:simengine>)
endif()
if(WIN32)
  set_tests_properties(ServiceWine PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
else()
  set_tests_properties(ServiceNative PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()

# Anonymous for real: Nimbra.exe, NimbraService.exe and the real engine in the
# private network; the window shows an exit's address, a request through the
# endpoint leaves from an exit, and Nimbra's end puts the user's proxy back.
if(WIN32 AND TARGET torengine)
  add_test(NAME AnonymousWine
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testnet/run-in-testnet.sh
                   --wineprefix ${CMAKE_BINARY_DIR}/anonymous-wineprefix
                   ${CMAKE_CURRENT_BINARY_DIR}/anonymous-wine.work
                   ${CMAKE_CURRENT_SOURCE_DIR}/e2e/anonymous-wine.sh
                   ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/anonymous-wineprefix
                   $<TARGET_FILE_DIR:Nimbra> $<TARGET_FILE:NimbraService> ${CMAKE_BINARY_DIR}/tools
                   ${CMAKE_CURRENT_BINARY_DIR}/anonymous-wine.work/run)
  set_tests_properties(AnonymousWine PROPERTIES TIMEOUT 900)
endif()
