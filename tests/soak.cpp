// Soak: many logins in one process, successes and every kind of failure
// mixed, each record checked and released; then the same from several
// threads at once. Under Wine, a threaded login that Wine's own TLS fails
// (see run_threads) is counted and bounded, not taken as the library's fault.
//
//   soak LOGINS THREADS LOGINS_PER_THREAD
//
// On Linux it runs under LeakSanitizer or valgrind, which report what is
// lost. Under Wine, whose WinINet keeps memory of its own per TLS exchange,
// the library is held against a baseline: as many identical exchanges made
// with bare WinINet calls in the same process. The library's own growth
// (its figure minus the baseline's) must stay under 1 MiB.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kesta.h"
#include "scenarios.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>

#include "bare_wininet.h"
#endif

namespace {

// One of each: the success and each kind of failure, a 10 MiB reply among
// them, as the scenario rows marked for the soak give them.
std::vector<const scenarios::Row *> soak_rows()
{
    std::vector<const scenarios::Row *> out;
    for (const scenarios::Row &row : scenarios::rows()) {
        if (row.soak) {
            out.push_back(&row);
        }
    }
    return out;
}

std::string soak_path(const scenarios::Row &row)
{
    return "/" + row.scenario + "/soak";
}

int run_logins(const std::vector<const scenarios::Row *> &cases, int count)
{
    int wrong = 0;
    for (int i = 0; i < count; i++) {
        const scenarios::Row &row = *cases[size_t(i) % cases.size()];
        LOGIN_RESULT *r =
            _KESTA_LOGIN(nullptr, 0, "user", "secret", row.server.c_str(), soak_path(row).c_str());
        if (r == nullptr ||
            scenarios::mismatch(row.expected(), _KESTA_GETERRORCODE(r), _KESTA_GETERRORSTRING(r),
                                _KESTA_GETSESSIONID(r), _KESTA_GETUSERAGENT(r)) != "") {
            wrong++;
        }
        _KESTA_RELEASE(r);
    }
    return wrong;
}

// What the threaded logins got. Wine's TLS (secur32 over GnuTLS) now and
// then fails one of two handshakes that run at the same moment in one
// process: both logins end with 12157 and no session. Bare WinINet calls do
// the same with the same load, on both bitnesses, with and without an
// emulator, so such a login is counted apart instead of as the library's.
struct ThreadTally {
    std::atomic<int> wrong{0};
    std::atomic<int> handshake{0};
};

const unsigned long SECURE_CHANNEL_ERROR = 12157;

bool under_wine()
{
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// Echo logins from several threads: each must get the session of its own ID.
void run_threads(int threads, int each, bool wine, ThreadTally &tally)
{
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([t, each, wine, &tally] {
            for (int i = 0; i < each; i++) {
                std::string id = "t" + std::to_string(t) + "n" + std::to_string(i);
                LOGIN_RESULT *r =
                    _KESTA_LOGIN(nullptr, 0, id.c_str(), "pw", "login.test", "/echo/soak");
                std::string want = "UA-" + id + ":session-" + id;
                unsigned long code = r != nullptr ? (unsigned long)_KESTA_GETERRORCODE(r) : 0ul;
                const char *session = r != nullptr ? _KESTA_GETSESSIONID(r) : nullptr;
                if (r != nullptr && code == 0 && session != nullptr && want == session) {
                    _KESTA_RELEASE(r);
                    continue;
                }
                // Which login and what it got: a failure one run in many
                // is found only from this line.
                const char *text = r != nullptr ? _KESTA_GETERRORSTRING(r) : nullptr;
                fprintf(stderr, "soak: thread %d login %d: error %lu (%s), session %s\n", t, i,
                        code, text != nullptr ? text : "no text",
                        session != nullptr ? session : "none");
                if (wine && code == SECURE_CHANNEL_ERROR && session == nullptr) {
                    tally.handshake++;
                } else {
                    tally.wrong++;
                }
                _KESTA_RELEASE(r);
            }
        });
    }
    for (std::thread &t : pool) {
        t.join();
    }
}

#ifdef _WIN32
double pagefile_mib()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return double(counters.PagefileUsage) / (1024.0 * 1024.0);
}

#endif

} // namespace

int main(int argc, char **argv)
{
    int logins = argc > 1 ? atoi(argv[1]) : 1000;
    int threads = argc > 2 ? atoi(argv[2]) : 8;
    int each = argc > 3 ? atoi(argv[3]) : 50;
    int status = 0;
    std::vector<const scenarios::Row *> cases = soak_rows();
    if (cases.empty()) {
        fprintf(stderr, "soak: no rows marked soak in tests/scenarios.rows\n");
        return 1;
    }
#ifdef _WIN32
    int count = int(cases.size());
    // Warm up both paths first, so that one-time set-up counts for neither.
    for (const scenarios::Row *row : cases) {
        bare_wininet_login(row->server.c_str(), soak_path(*row).c_str());
    }
    run_logins(cases, count);
    double start = pagefile_mib();
    for (int i = 0; i < logins; i++) {
        const scenarios::Row &row = *cases[size_t(i % count)];
        bare_wininet_login(row.server.c_str(), soak_path(row).c_str());
    }
    double baseline = pagefile_mib() - start;
    start = pagefile_mib();
#endif

    int wrong = run_logins(cases, logins);
    printf("soak: %d logins in one thread, %d records wrong\n", logins, wrong);
    status |= wrong != 0;

#ifdef _WIN32
    double library = pagefile_mib() - start;
    double own = library - baseline;
    printf("soak: memory growth over %d exchanges: bare WinINet %.2f MiB, library %.2f MiB, "
           "the library's own %.2f MiB (limit 1 MiB)\n",
           logins, baseline, library, own);
    status |= own >= 1.0;
#endif

    bool wine = under_wine();
    ThreadTally tally;
    run_threads(threads, each, wine, tally);
    printf("soak: %d threads x %d logins, %d records wrong\n", threads, each, tally.wrong.load());
    status |= tally.wrong != 0;
    if (wine) {
        // A crossed or made-up session, or any other code, still fails above;
        // Wine's handshake failures fail the run only when they stop being rare.
        int allowed = threads * each / 100;
        printf("soak: %d of the threaded logins got 12157 and no session, Wine's TLS failing "
               "concurrent handshakes in one process as bare WinINet does (at most %d allowed)\n",
               tally.handshake.load(), allowed);
        status |= tally.handshake > allowed;
    }
    return status;
}
