// Link-time stand-ins for platform calls in test programs. On Linux a test
// program defines the call itself, in place of the layer's archive member.
// On Windows the library's code calls through the import pointer
// __imp__Name@bytes, so the test program defines that pointer and aims it
// at its own function; the real call stays reachable through GetProcAddress.
#ifndef KESTA_TEST_REPLACE_H
#define KESTA_TEST_REPLACE_H

#ifdef _WIN32
#define KESTA_FAKE(name) fake_##name
#define KESTA_REPLACE(name, bytes)                                                                 \
    extern "C" void *replace_##name __asm__("__imp__" #name "@" #bytes);                           \
    void *replace_##name = reinterpret_cast<void *>(&fake_##name)
#else
#define KESTA_FAKE(name) name
#define KESTA_REPLACE(name, bytes) static_assert(true, "")
#endif

#endif
