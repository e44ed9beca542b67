// Soak: many logins in one process, successes and every kind of failure
// mixed, each record checked and released; then the same from several
// threads at once.
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

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>

#include "bare_wininet.h"
#endif

namespace {

struct Case {
    const char *server;
    const char *path;
    uint32_t code;
    const char *session; // null: none expected
};

// One of each: the success first, then each kind of failure, with a
// 10 MiB reply among them.
const Case CASES[] = {
    {"login.test", "/ok/soak", 0, "KelpinUA:abc123"},
    {"login.test", "/no-colon/soak", 13, "abc"},
    {"login.test", "/error-page/soak", 13, nullptr},
    {"login.test", "/long/soak", 0, nullptr},
    {"login.test", "/junk/soak", 13, nullptr},
    {"wrongname.test", "/ok/soak", 12038, nullptr},
    {"expired.test", "/ok/soak", 12037, nullptr},
    {"unreachable.test", "/ok/soak", 12029, nullptr},
    {"nowhere.test", "/ok/soak", 12007, nullptr},
    {"login.test", "/ok/soak", 0, "KelpinUA:abc123"},
    {"login.test", "/flood/soak", 0, nullptr},
};
const int CASE_COUNT = sizeof CASES / sizeof CASES[0];

bool check(const LOGIN_RESULT *r, const Case &c)
{
    if (r == nullptr || _KESTA_GETERRORCODE(r) != c.code) {
        return false;
    }
    const char *session = _KESTA_GETSESSIONID(r);
    if (c.session != nullptr) {
        return session != nullptr && strcmp(session, c.session) == 0;
    }
    return c.code != 0 || (session != nullptr && strlen(session) == 4096 - 11);
}

int run_logins(int count, int offset)
{
    int wrong = 0;
    for (int i = 0; i < count; i++) {
        const Case &c = CASES[(i + offset) % CASE_COUNT];
        LOGIN_RESULT *r = _KESTA_LOGIN(nullptr, 0, "user", "secret", c.server, c.path);
        if (!check(r, c)) {
            wrong++;
        }
        _KESTA_RELEASE(r);
    }
    return wrong;
}

// Echo logins from several threads: each must get the session of its own ID.
int run_threads(int threads, int each)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([t, each, &wrong] {
            for (int i = 0; i < each; i++) {
                std::string id = "t" + std::to_string(t) + "n" + std::to_string(i);
                LOGIN_RESULT *r =
                    _KESTA_LOGIN(nullptr, 0, id.c_str(), "pw", "login.test", "/echo/soak");
                std::string want = "UA-" + id + ":session-" + id;
                const char *session = r != nullptr ? _KESTA_GETSESSIONID(r) : nullptr;
                if (r == nullptr || _KESTA_GETERRORCODE(r) != 0 || session == nullptr ||
                    want != session) {
                    wrong++;
                }
                _KESTA_RELEASE(r);
            }
        });
    }
    for (std::thread &t : pool) {
        t.join();
    }
    return wrong.load();
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

#ifdef _WIN32
    // Warm up both paths first, so that one-time set-up counts for neither.
    for (int i = 0; i < CASE_COUNT; i++) {
        bare_wininet_login(CASES[i].server, CASES[i].path);
    }
    run_logins(CASE_COUNT, 0);
    double start = pagefile_mib();
    for (int i = 0; i < logins; i++) {
        bare_wininet_login(CASES[i % CASE_COUNT].server, CASES[i % CASE_COUNT].path);
    }
    double baseline = pagefile_mib() - start;
    start = pagefile_mib();
#endif

    int wrong = run_logins(logins, 0);
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

    wrong = run_threads(threads, each);
    printf("soak: %d threads x %d logins, %d records wrong\n", threads, each, wrong);
    status |= wrong != 0;
    return status;
}
