// kesta.dll under Wine against a bare WinINet client of ours that makes the
// identical calls with the identical flags, header, body and buffer. Built
// for both architectures; each build measures its own DLL against WinINet of
// the same bitness.
//
//   bench_win SERVER ROUNDS LOGINS_PER_ROUND
#include <windows.h>
#include <psapi.h>
#include <stdlib.h>
#include <string.h>

#include "bare_wininet.h"
#include "harness.h"
#include "kesta.h"

namespace {

#ifdef _WIN64
const char TARGET[] = "wine64";
#else
const char TARGET[] = "wine32";
#endif

const char *server = "bench.test";
const char PATH[] = "/bench";

bool library_login()
{
    LOGIN_RESULT *r = _KESTA_LOGIN(nullptr, 0, "user", "secret", server, PATH);
    bool ok = r != nullptr && _KESTA_GETERRORCODE(r) == 0;
    _KESTA_RELEASE(r);
    return ok;
}

bool wininet_login()
{
    return bare_wininet_login(server, PATH);
}

double peak_mib()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return double(counters.PeakPagefileUsage) / (1024.0 * 1024.0);
}

} // namespace

int main(int argc, char **argv)
{
    server = argc > 1 ? argv[1] : server;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    int count = argc > 3 ? atoi(argv[3]) : 200;

    std::vector<bench::Client> clients = {
        {"kesta.dll", library_login, {}, 0},
        {"bare WinINet, the identical calls", wininet_login, {}, 0},
        // The same client twice: how far two runs of one thing differ here.
        {"bare WinINet again (the noise: itself vs itself)", wininet_login, {}, 0},
    };
    bench::run_rounds(clients, rounds, count);
    double lib = bench::median(clients[0].rates);
    double bare = bench::median(clients[1].rates);
    bench::row(TARGET, clients[0].name, lib,
               bench::paired_ratio("time vs bare WinINet", clients[0], clients[1]),
               clients[0].failures);
    bench::row(TARGET, clients[1].name, bare,
               bench::ratio_text("medians: kesta.dll time vs bare", bare / lib),
               clients[1].failures);
    bench::row(
        TARGET, "bare WinINet again (noise: itself vs itself)", bench::median(clients[2].rates),
        bench::paired_ratio("time vs bare WinINet", clients[2], clients[1]), clients[2].failures);

    bench::thread_rows(TARGET, "kesta.dll", library_login, rounds, count);
    printf("| %-6s | %-52s | %9.1f | %7s | %-44s |\n", TARGET,
           "peak memory after the runs above, MiB", peak_mib(), "", "mostly Wine's WinINet's own");
    return 0;
}
