# The platform layer: text, files, registry, processes, threads, sockets and
# the window backends.
nimbra_test(IniFileTest LIBS nimbra_platform)
nimbra_test(MessageLoopTest LIBS nimbra_platform)
nimbra_test(RegistryTest LIBS nimbra_platform)
nimbra_test(SocketTest LIBS nimbra_platform)
nimbra_test(TextAndFilesTest LIBS nimbra_platform)
nimbra_test(ThreadTest LIBS nimbra_platform)
nimbra_test(ShortcutTextTest LIBS nimbra_gui_recording)
# On Windows the real Win32 backend; natively the headless one.
nimbra_test(Win32GuiTest LIBS nimbra_gui)
