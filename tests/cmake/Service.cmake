# The HTTP endpoint's test: its library, and the loopback SOCKS server and
# site it runs against.
target_link_libraries(HttpEndpointTest PRIVATE nimbra_service_endpoint)
target_sources(HttpEndpointTest PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/LoopbackPeers.cpp)
