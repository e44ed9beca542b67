/* A Windows host program built the way a user builds one against the
 * unpacked zip: with Visual Studio's kind of toolchain (clang for the MSVC
 * target, lld-link, lib/kesta.lib) or with MinGW (lib/libkesta.dll.a). It
 * logs in once to the test server and prints the session, or the error.
 *
 * The MSVC-target build has no C runtime here, so it writes through
 * Kernel32 and starts at its own entry point; nothing in it needs more. */
#include "kesta.h"

#ifdef CONSUMER_NO_CRT
#define IMPORT __declspec(dllimport)
IMPORT void *__stdcall GetStdHandle(unsigned long which);
IMPORT int __stdcall WriteFile(void *file, const void *bytes, unsigned long size,
                               unsigned long *written, void *overlapped);
IMPORT void __stdcall ExitProcess(unsigned int status);
#define STD_OUTPUT_HANDLE ((unsigned long)-11)
#else
#include <stdio.h>
#include <stdlib.h>
#endif

static void put(const char *text)
{
#ifdef CONSUMER_NO_CRT
    unsigned long size = 0, written;
    while (text[size] != '\0') {
        size++;
    }
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, size, &written, 0);
#else
    fputs(text, stdout);
#endif
}

static int run(void)
{
    LOGIN_RESULT *r = _KESTA_LOGIN(0, 0, "user", "secret", "login.test", "/ok/consumer");
    int status = 1;
    if (r == 0) {
        put("no record\n");
    } else if (_KESTA_GETERRORCODE(r) != 0) {
        put("login failed\n");
    } else {
        put("session ID: ");
        put(_KESTA_GETSESSIONID(r));
        put("\nuser agent: ");
        put(_KESTA_GETUSERAGENT(r));
        put("\n");
        status = 0;
    }
    _KESTA_RELEASE(r);
    return status;
}

#ifdef CONSUMER_NO_CRT
void start(void)
{
    ExitProcess((unsigned int)run());
}
#else
int main(void)
{
    return run();
}
#endif
