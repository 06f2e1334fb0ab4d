# The Debian package, built from a release build of its own (no sanitizers
# in what gets installed), installed into this system, run and removed.
# It needs the real engine library, and root (skipped without).
if(NOT WIN32 AND TARGET torengine)
  get_property(native_deps GLOBAL PROPERTY nimbra_native_deps)
  add_test(NAME DebPackage
           COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/deb-package.sh ${PROJECT_SOURCE_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/deb-package)
  set_tests_properties(DebPackage PROPERTIES TIMEOUT 1800 SKIP_RETURN_CODE 77
                       ENVIRONMENT "NIMBRA_NATIVE_DEPS=${native_deps}"
                       # Installing into the system: one package test at a time.
                       RESOURCE_LOCK system_packages)
endif()
