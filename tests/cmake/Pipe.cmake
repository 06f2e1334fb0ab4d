# The pipe client's tests talk in-process to the companion-service stand-in.
target_link_libraries(PipeClientTest PRIVATE nimbra_pipeservice)
if(NOT WIN32)
  # Named-event stand-ins of the tests stay inside the build folder.
  set_tests_properties(PipeClientTest PROPERTIES ENVIRONMENT
                       "NIMBRA_NAMED_OBJECTS=${CMAKE_BINARY_DIR}/named-objects")
endif()
