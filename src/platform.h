// The platform's Kernel32 and WinINet calls: the real ones on Windows, the
// library's own stand-ins with the same contract on Linux.
#ifndef KESTA_PLATFORM_H
#define KESTA_PLATFORM_H

#ifdef _WIN32
#include <windows.h>
#include <wininet.h>
#else
#include "posix/win32.h"
#endif

#endif
