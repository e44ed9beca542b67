// Timing for the benchmarks: rounds of logins, clients interleaved in each
// round so that the machine's noise falls on all of them alike, medians.
#ifndef KESTA_BENCH_HARNESS_H
#define KESTA_BENCH_HARNESS_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// One way of making a login; returns false when the login failed.
using Login = std::function<bool()>;

struct Client {
    std::string name;
    Login login;
    std::vector<double> rates; // logins per second, one per round
    int failures = 0;
};

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs count logins on threads threads; returns logins per second.
inline double timed(const Login &login, int count, int threads, int *failures)
{
    std::atomic<int> failed{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&login, &failed, count, threads, t] {
            for (int i = t; i < count; i += threads) {
                if (!login()) {
                    failed++;
                }
            }
        });
    }
    for (std::thread &t : pool) {
        t.join();
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *failures += failed.load();
    return count / seconds;
}

// Each round runs every client once, starting with a different one.
inline void run_rounds(std::vector<Client> &clients, int rounds, int count, int threads = 1)
{
    // A warm-up, untimed: one-time set-up in the process counts for no one.
    int ignored = 0;
    for (Client &c : clients) {
        timed(c.login, count / 10 + 1, threads, &ignored);
    }
    for (int r = 0; r < rounds; r++) {
        for (size_t k = 0; k < clients.size(); k++) {
            Client &c = clients[(k + size_t(r)) % clients.size()];
            c.rates.push_back(timed(c.login, count, threads, &c.failures));
        }
    }
}

// The median over rounds of a's time per login over b's, each round's pair
// measured side by side; with the lowest and highest round.
inline std::string paired_ratio(const char *label, const Client &a, const Client &b)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < a.rates.size() && i < b.rates.size(); i++) {
        ratios.push_back(b.rates[i] / a.rates[i]);
    }
    std::sort(ratios.begin(), ratios.end());
    char text[96];
    snprintf(text, sizeof text, "%s %.3f (%.2f-%.2f)", label, median(ratios),
             ratios.empty() ? 0 : ratios.front(), ratios.empty() ? 0 : ratios.back());
    return text;
}

// A row of the table: what was measured, its median rate and time per
// login, and a ratio with its meaning.
inline void row(const char *target, const std::string &what, double rate, const std::string &ratio,
                int failures)
{
    printf("| %-6s | %-52s | %9.1f | %7.3f | %-44s |", target, what.c_str(), rate, 1000.0 / rate,
           ratio.c_str());
    if (failures != 0) {
        printf(" %d LOGINS FAILED", failures);
    }
    printf("\n");
}

inline std::string ratio_text(const char *label, double value)
{
    char text[96];
    snprintf(text, sizeof text, "%s %.3f", label, value);
    return text;
}

// CPU seconds the login server has used so far, when bench/run names it
// in KESTA_BENCH_SERVER_PID (the server shares the machine's cores with
// the clients, so its share bounds how far threads can scale); -1 if not.
inline double server_cpu_seconds()
{
#ifdef __linux__
    const char *pid = getenv("KESTA_BENCH_SERVER_PID");
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/stat", pid != nullptr ? pid : "");
    FILE *stat = pid != nullptr ? fopen(path, "r") : nullptr;
    unsigned long user = 0, system = 0;
    // Fields 14 and 15; the name in field 2 has no spaces here.
    int got = stat != nullptr
                  ? fscanf(stat, "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                           &user, &system)
                  : 0;
    if (stat != nullptr) {
        fclose(stat);
    }
    return got == 2 ? double(user + system) / double(sysconf(_SC_CLK_TCK)) : -1;
#else
    return -1;
#endif
}

// Rows for one login run from 1, 2 and 4 threads, each against 1 thread,
// with the server's CPU use over the row where it is known.
inline void thread_rows(const char *target, const std::string &name, const Login &login, int rounds,
                        int count)
{
    double single = 0;
    for (int threads : {1, 2, 4}) {
        std::vector<Client> one = {{"", login, {}, 0}};
        double cpu = server_cpu_seconds();
        auto start = std::chrono::steady_clock::now();
        run_rounds(one, std::max(3, rounds / 2), count, threads);
        double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double used = server_cpu_seconds() - cpu;
        double rate = median(one[0].rates);
        single = threads == 1 ? rate : single;
        char text[96] = "";
        int n =
            threads == 1 ? 0 : snprintf(text, sizeof text, "rate vs 1 thread %.3f", rate / single);
        if (cpu >= 0) {
            snprintf(text + n, sizeof text - size_t(n), "%sserver %.2f cores", n ? "; " : "",
                     used / wall);
        }
        row(target, name + ", " + std::to_string(threads) + " thread(s)", rate, text,
            one[0].failures);
    }
}

} // namespace bench

#endif
