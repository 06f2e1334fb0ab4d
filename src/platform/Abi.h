// Calling conventions of system entry points the core calls through pointers.
#pragma once

#if defined(_WIN32) && defined(__i386__)
#define PLATFORM_STDCALL __attribute__((stdcall))
#else
#define PLATFORM_STDCALL
#endif
