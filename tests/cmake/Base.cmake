# The shared base: log, application folders, options; and the program's
# window-message filter beside the folders.
nimbra_test(LoggerTest LIBS nimbra_base)
nimbra_test(OptionsUnitTest LIBS nimbra_base)
nimbra_test(AppFoldersTest LIBS nimbra_app)
