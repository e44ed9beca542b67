// The stack guard of the Windows binaries (src/stack_guard.cpp), in a
// program compiled like them: a frame whose buffer was overrun ends the
// process with STATUS_STACK_BUFFER_OVERRUN instead of returning, a frame
// that was not returns as usual, and every process gets a guard word of its
// own with a zero low byte.
//
// The program runs itself as a child for each case: "copy N" copies N bytes
// into a 16-byte buffer, "guard" prints the child's guard word.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

extern "C" uintptr_t __stack_chk_guard;

namespace {

// Copies n bytes of a longer text into a 16-byte buffer on the stack; n
// comes from the command line, so the compiler cannot see the overrun.
__attribute__((noinline)) size_t copy_into_frame(size_t n)
{
    static const char text[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    char buffer[16];
    memcpy(buffer, text, n < sizeof text ? n : sizeof text);
    return strnlen(buffer, n < sizeof buffer ? n : sizeof buffer);
}

struct Child {
    DWORD status;
    std::string out;
};

Child run_child(const char *mode)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string line = std::string("\"") + self + "\" " + mode;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end, write_end;
    CreatePipe(&read_end, &write_end, &inherit, 0);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = write_end;
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    Child child = {~DWORD(0), ""};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                        &process)) {
        fprintf(stderr, "cannot start %s: error %lu\n", line.c_str(), GetLastError());
        return child;
    }
    CloseHandle(write_end);
    char chunk[256];
    DWORD got;
    while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        child.out.append(chunk, got);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &child.status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(read_end);
    return child;
}

const struct {
    const char *name;
    const char *mode;
    DWORD status;
} CASES[] = {
    {"a copy that fits returns", "copy 16", 0},
    // (A byte or two past may land in the frame's alignment padding, which
    // lies below the guard word on x64 and harms nothing.)
    {"a copy 16 bytes past the buffer ends the process", "copy 32",
     DWORD(STATUS_STACK_BUFFER_OVERRUN)},
    {"a copy far past the buffer ends the process", "copy 64", DWORD(STATUS_STACK_BUFFER_OVERRUN)},
};

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "copy") == 0) {
        size_t n = copy_into_frame(strtoul(argv[2], nullptr, 10));
        printf("copied, %lu\n", static_cast<unsigned long>(n));
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "guard") == 0) {
        printf("%llx", static_cast<unsigned long long>(__stack_chk_guard));
        return 0;
    }

    int failures = 0;
    for (const auto &c : CASES) {
        Child child = run_child(c.mode);
        bool ok = child.status == c.status;
        printf("%s: %s (status %#lx)\n", ok ? "ok" : "FAIL", c.name,
               static_cast<unsigned long>(child.status));
        failures += !ok;
    }

    // Two processes, two words; neither the value before seeding.
    Child first = run_child("guard"), second = run_child("guard");
    unsigned long long a = strtoull(first.out.c_str(), nullptr, 16);
    unsigned long long b = strtoull(second.out.c_str(), nullptr, 16);
    const unsigned long long unseeded = static_cast<uintptr_t>(0x2f8a0aff00ULL);
    bool ok = first.status == 0 && second.status == 0 && a != b && a != unseeded && b != unseeded &&
              (a & 0xff) == 0 && (b & 0xff) == 0;
    printf("%s: each process seeds its own guard word (%llx, %llx)\n", ok ? "ok" : "FAIL", a, b);
    failures += !ok;
    return failures == 0 ? 0 : 1;
}
