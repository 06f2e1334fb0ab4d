# The message catalogue, its format routine and the skin pictures. The
# catalogue's tests need the program's built-in table and every language file
# the program ships beside the test program: exactly those, so a file
# dropped from res/lang/ does not linger here and pass for shipped.
nimbra_test(TextFormatTest LIBS nimbra_ui)
nimbra_test(PictureTest LIBS nimbra_skin_fixture)
nimbra_test(DKLangTest LIBS nimbra_app nimbra_lang_consts)
file(GLOB stale_language_files ${CMAKE_CURRENT_BINARY_DIR}/*.lng)
if(stale_language_files)
  file(REMOVE ${stale_language_files})
endif()
file(GLOB shipped_language_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/lang/*.lng)
foreach(language_file ${shipped_language_files})
  configure_file(${language_file} ${CMAKE_CURRENT_BINARY_DIR} COPYONLY)
endforeach()

# The translator's tool says the same of them (natively: it is a host tool).
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME LangFileToolOnShippedFiles
           COMMAND ${CMAKE_COMMAND} -DLANGFILE=$<TARGET_FILE:langfile>
                   -DWORK=${CMAKE_CURRENT_BINARY_DIR}/langfile-check
                   "-DFILES=${shipped_language_files}"
                   -P ${PROJECT_SOURCE_DIR}/tools/langfile/check-shipped.cmake)
endif()
