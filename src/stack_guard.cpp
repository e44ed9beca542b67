// The stack protector's guard word and its failure handler for the Windows
// binaries, which are compiled with -fstack-protector-strong.
//
// GCC's own runtime for them, libssp, would be one more DLL beside ours, or,
// linked statically, an ADVAPI32 import for its seed. This one takes its
// seed from Kernel32 alone, from the same sources the Microsoft compiler's
// runtime mixes into its /GS cookie: the system time, the process and thread
// IDs, the tick count and the performance counter, and here also an address
// on the stack, which ASLR moves. None of them is secret to code already
// running in the process; they only have to be unknown to whoever sends the
// bytes that would overrun a buffer.
//
// The word is written once, by a constructor that runs before DllMain (or
// main) and before any call into the library, and only read after that.
#include <windows.h>

#include <stdint.h>

extern "C" {

// Until the constructor runs: a value that stops string copies (NUL, LF,
// 0xFF in its low bytes) rather than none.
uintptr_t __stack_chk_guard = static_cast<uintptr_t>(0x2f8a0aff00ULL);

// An overrun frame: end the process at once, with the status Windows gives
// a failed /GS check, and run none of its code on the way out.
__attribute__((noreturn)) void __stack_chk_fail(void)
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_trap();
}

} // extern "C"

namespace {

// Not protected itself: the word changes under this frame.
__attribute__((constructor(101), no_stack_protector)) void seed_stack_guard()
{
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t seed = (uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime) ^
                    uint64_t(counter.QuadPart) ^ uint64_t(GetCurrentProcessId()) << 40 ^
                    uint64_t(GetCurrentThreadId()) << 20 ^ uint64_t(GetTickCount()) << 8 ^
                    uint64_t(reinterpret_cast<uintptr_t>(&time));
    // splitmix64's finaliser, so that every input bit reaches every bit of
    // the word, also of the 32-bit one.
    seed = (seed ^ (seed >> 30)) * 0xbf58476d1ce4e5b9ULL;
    seed = (seed ^ (seed >> 27)) * 0x94d049bb133111ebULL;
    seed ^= seed >> 31;
    // A zero low byte, as glibc has it: a string copy that overruns into the
    // word cannot write it back.
    __stack_chk_guard = static_cast<uintptr_t>(seed) & ~uintptr_t(0xff);
}

} // namespace
