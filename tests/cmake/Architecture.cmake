# The folders of src/ keep their floors (docs/architecture.md); the check
# itself is shown to catch each kind of breach.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME FloorsKept COMMAND ${Python3_EXECUTABLE}
                                   ${PROJECT_SOURCE_DIR}/tools/floors/check-floors.py ${PROJECT_SOURCE_DIR})
  add_test(NAME FloorsCheckCatchesBreaches
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/architecture/floors-selftest.sh
                   ${PROJECT_SOURCE_DIR}/tools/floors/check-floors.py)
endif()
