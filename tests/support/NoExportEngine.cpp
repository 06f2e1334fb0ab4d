// A library that loads but lacks the engine's entry point "dll_start".
#ifdef _WIN32
#define EXPORT extern "C" __declspec(dllexport)
#else
#define EXPORT extern "C" __attribute__((visibility("default")))
#endif

EXPORT int not_the_entry_point() { return 0; }
