// Allocations of the library's own per login, and the peak memory of a
// 1,000-login run: the library's logic and Linux layer linked here with a
// local heap that counts, and a plain malloc behind it.
//
//   bench_allocs SERVER LOGINS
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>

#include "kesta.h"
#include "platform.h"

namespace {
std::atomic<long> allocations{0};
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes)
{
    allocations++;
    return (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL mem)
{
    free(mem);
    return nullptr;
}

static long peak_kib()
{
    FILE *status = fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kib = atol(line + 6);
        }
    }
    if (status != nullptr) {
        fclose(status);
    }
    return kib;
}

static long allocations_of(const char *server, const char *path, uint32_t *code)
{
    long before = allocations.load();
    LOGIN_RESULT *r = _KESTA_LOGIN(nullptr, 0, "user", "secret", server, path);
    long n = allocations.load() - before;
    *code = r != nullptr ? _KESTA_GETERRORCODE(r) : 0xFFFFFFFF;
    _KESTA_RELEASE(r);
    return n;
}

int main(int argc, char **argv)
{
    const char *server = argc > 1 ? argv[1] : "bench.test";
    int logins = argc > 2 ? atoi(argv[2]) : 1000;
    uint32_t code = 0;
    long success = allocations_of(server, "/bench", &code);
    printf("| native | %-45s | %9ld | %7s | %-40s |%s\n", "allocations per successful login",
           success, "", "record + session + user agent", code != 0 ? " FAILED LOGIN" : "");
    long failure = allocations_of("nowhere.test", "/bench", &code);
    printf("| native | %-45s | %9ld | %7s | %-40s |\n", "allocations per failed login (12007)",
           failure, "", "record + error text");
    long start = peak_kib();
    for (int i = 0; i < logins; i++) {
        allocations_of(server, "/bench", &code);
    }
    printf("| native | %-45s | %9ld | %7s | %-40s |\n",
           (std::to_string(logins) + "-login run: peak memory, KiB").c_str(), peak_kib(), "",
           ("growth over the run " + std::to_string(peak_kib() - start) + " KiB").c_str());
    return 0;
}
