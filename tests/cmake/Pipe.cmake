# The pipe client's tests talk in-process to the companion-service stand-in.
nimbra_test(PipeClientTest LIBS nimbra_pipe)
if(NOT WIN32)
  # Named-event stand-ins of the tests stay inside the build folder.
  set_tests_properties(PipeClientTest PROPERTIES ENVIRONMENT
                       "NIMBRA_NAMED_OBJECTS=${CMAKE_BINARY_DIR}/named-objects")
endif()

# The service stand-in and the console host as separate programs, with the
# start event crossing between them.
if(WIN32)
  add_test(NAME PipeServiceDemo
           COMMAND bash ${PROJECT_SOURCE_DIR}/tools/pipeservice/demo.sh ${CMAKE_BINARY_DIR}/tools
                   --wine ${NIMBRA_WINEPREFIX})
else()
  add_test(NAME PipeServiceDemo COMMAND bash ${PROJECT_SOURCE_DIR}/tools/pipeservice/demo.sh
                                        ${CMAKE_BINARY_DIR}/tools)
endif()
set_tests_properties(PipeServiceDemo PROPERTIES TIMEOUT 300)
