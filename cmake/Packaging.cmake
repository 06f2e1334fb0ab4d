# The Debian package of the native build (cpack -G DEB in a build folder):
# ProxyRevert and the companion service nimbra-service with their manual
# pages, and the two engine libraries for a host to load. Both libraries are named anon.dll, the name a host loads, so each
# has a folder of its own below /usr/lib/nimbra.
include_guard(GLOBAL)

set(nimbra_package nimbra-proxyrevert)
set(nimbra_doc_dir share/doc/${nimbra_package})
set(library_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

install(TARGETS ProxyRevert NimbraService RUNTIME DESTINATION bin)
install(TARGETS torlauncher LIBRARY DESTINATION lib/nimbra/torlauncher
        PERMISSIONS ${library_permissions})
if(TARGET torengine)
  install(TARGETS torengine LIBRARY DESTINATION lib/nimbra/torengine
          PERMISSIONS ${library_permissions})
else()
  # A package without the real engine would not be the one users expect.
  install(CODE "message(FATAL_ERROR \"The real engine library (torengine) is not built: \"
                \"run scripts/build-mingw-deps.sh, set NIMBRA_MINGW_DEPS and configure again.\")")
endif()

# The obfs4 transport beside the real engine library, which starts it when
# the settings name obfs4 bridges, with its licences; scripts/build-mingw-deps.sh
# builds it into the same native prefix as Tor.
get_property(obfs4_prefix GLOBAL PROPERTY nimbra_native_deps)
set(obfs4proxy ${obfs4_prefix}/bin/obfs4proxy)
set(obfs4_licenses ${obfs4_prefix}/share/licenses/obfs4proxy)
if(obfs4_prefix AND EXISTS ${obfs4proxy})
  install(PROGRAMS ${obfs4proxy} DESTINATION lib/nimbra/torengine)
  install(FILES ${obfs4_licenses}/LICENSE ${obfs4_licenses}/LICENSE-GPL3.txt
                ${obfs4_licenses}/LICENSE-libraries.txt
          DESTINATION ${nimbra_doc_dir}/obfs4proxy PERMISSIONS ${library_permissions})
else()
  # Without it the engine could not reach a bridge.
  install(CODE "message(FATAL_ERROR \"obfs4proxy is not built: run scripts/build-mingw-deps.sh, \"
                \"set NIMBRA_MINGW_DEPS and configure again.\")")
endif()

# Manual pages go compressed, without a time stamp, so builds compare equal.
find_program(NIMBRA_GZIP gzip REQUIRED)
set(man_pages_gz)
foreach(page ProxyRevert.1 nimbra-service.1)
  set(man_page ${PROJECT_SOURCE_DIR}/docs/man/${page})
  set(man_page_gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${man_page_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "${NIMBRA_GZIP} -9nc \"$1\" >\"$2\"" sh ${man_page} ${man_page_gz}
    DEPENDS ${man_page}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND man_pages_gz ${man_page_gz})
endforeach()
add_custom_target(nimbra_man_pages ALL DEPENDS ${man_pages_gz})
install(FILES ${man_pages_gz} DESTINATION share/man/man1 PERMISSIONS ${library_permissions})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/copyright DESTINATION ${nimbra_doc_dir}
        PERMISSIONS ${library_permissions})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${nimbra_package})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Corvane)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "points the browsers at Nimbra's endpoint and puts their own proxies back")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n nimbra-service is Nimbra's companion service: while Nimbra is ready it\n points the system proxy, Opera and Firefox at its HTTP endpoint, which\n carries their requests through the engine, and puts every browser's own\n settings back afterwards, from a journal if it was stopped hard.\n ProxyRevert undoes what Nimbra and the service do, for when they could\n not do so themselves. The package also holds Nimbra's engine libraries:\n the onion-routing engine with Tor linked in, with the obfs4 transport for\n bridges beside it, and a launcher that runs a tor program instead.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corvane <nimbra@corvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the binaries link against decide what the package needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The launcher runs a tor program; the engine library does not need one.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS tor)
include(CPack)
