// Calling conventions of system entry points the core calls through pointers.
#pragma once

#if defined(_WIN32) && defined(__i386__)
#define PLATFORM_STDCALL __attribute__((stdcall))
#else
#define PLATFORM_STDCALL
#endif

// The C calling convention, spelled out where a library's entry point is
// declared to use it (the caller removes the arguments).
#if defined(_WIN32) && defined(__i386__)
#define PLATFORM_CDECL __attribute__((cdecl))
#else
#define PLATFORM_CDECL
#endif
