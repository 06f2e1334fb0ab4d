# The companion service. The HTTP endpoint's test runs against a loopback
# SOCKS server and site of its own.
nimbra_test(HttpEndpointTest LIBS nimbra_service_endpoint)
target_sources(HttpEndpointTest PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/LoopbackPeers.cpp)
