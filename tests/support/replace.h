// Link-time stand-ins for platform calls in test programs. On Linux a test
// program defines the call itself, in place of the layer's archive member.
// On Windows the library's code calls through the import pointer, so the
// test program defines that pointer and aims it at its own function; the
// real call stays reachable through GetProcAddress. The pointer's name is
// __imp__Name@bytes on 32-bit Windows (stdcall decoration: the bytes of
// arguments) and plain __imp_Name on 64-bit Windows, which has one calling
// convention and no decoration.
#ifndef KESTA_TEST_REPLACE_H
#define KESTA_TEST_REPLACE_H

#ifdef _WIN32
#ifdef _WIN64
#define KESTA_IMPORT_POINTER(name, bytes) "__imp_" #name
#else
#define KESTA_IMPORT_POINTER(name, bytes) "__imp__" #name "@" #bytes
#endif
#define KESTA_FAKE(name) fake_##name
#define KESTA_REPLACE(name, bytes)                                                                 \
    extern "C" void *replace_##name __asm__(KESTA_IMPORT_POINTER(name, bytes));                    \
    void *replace_##name = reinterpret_cast<void *>(&fake_##name)
#else
#define KESTA_FAKE(name) name
#define KESTA_REPLACE(name, bytes) static_assert(true, "")
#endif

#endif
