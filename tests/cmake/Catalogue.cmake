# The message catalogue's tests need the program's built-in table and the
# sample translation beside the test program.
target_link_libraries(DKLangTest PRIVATE nimbra_lang_consts)
configure_file(${PROJECT_SOURCE_DIR}/res/lang/Russian.lng ${CMAKE_CURRENT_BINARY_DIR}/Russian.lng
               COPYONLY)
