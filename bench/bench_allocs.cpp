// Allocations of the library's own per login, and the peak memory of a
// 1,000-login run: the library's logic and Linux layer linked here with a
// local heap that counts, and a plain malloc behind it; and the size of the
// trust store the logins share.
//
//   bench_allocs SERVER LOGINS [STORE]
#include <malloc.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <mutex>
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

// The heap a store of the bundle takes when loaded as the layer loads it,
// with its certificates' cached extensions computed.
static void store_row(const char *bundle, const std::string &store)
{
    size_t before = mallinfo2().uordblks;
    X509_STORE *s = X509_STORE_new();
    int loaded = s != nullptr && X509_STORE_load_file(s, bundle) == 1;
    STACK_OF(X509_OBJECT) *objects = loaded ? X509_STORE_get0_objects(s) : nullptr;
    int certificates = 0;
    for (int i = 0; objects != nullptr && i < sk_X509_OBJECT_num(objects); i++) {
        X509 *cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
        if (cert != nullptr) {
            X509_check_purpose(cert, -1, 0);
            certificates++;
        }
    }
    size_t after = mallinfo2().uordblks;
    X509_STORE_free(s);
    printf("| native | %-52s | %9zu | %7s | %-44s |%s\n",
           ("shared trust store, KiB" + store).c_str(), (after - before) / 1024, "",
           ("roots: " + std::to_string(certificates)).c_str(), loaded ? "" : " NOT LOADED");
}

// What a login adds to see whether the trust store changed: the lock and
// the stat of the bundle the layer does before it hands the store out (the
// CA directory is read by the connection itself, as libcurl reads it).
static void check_row(const char *bundle, const std::string &store)
{
    std::mutex lock;
    const int n = 100000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) {
        std::lock_guard<std::mutex> hold(lock);
        struct stat now;
        stat(bundle, &now);
    }
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        n;
    printf("| native | %-52s | %9.0f | %7s | %-44s |\n",
           ("checking the bundle for a change, ns" + store).c_str(), ns, "",
           "per login: a lock and one stat");
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
    std::string store = argc > 3 ? std::string(" ") + argv[3] : "";
    uint32_t code = 0;
    long success = allocations_of(server, "/bench", &code);
    printf("| native | %-52s | %9ld | %7s | %-44s |%s\n",
           ("allocations per successful login" + store).c_str(), success, "",
           "record + session + user agent", code != 0 ? " FAILED LOGIN" : "");
    long failure = allocations_of("nowhere.test", "/bench", &code);
    printf("| native | %-52s | %9ld | %7s | %-44s |\n",
           ("allocations per failed login" + store).c_str(), failure, "",
           "record + error text (12007)");
    long start = peak_kib();
    for (int i = 0; i < logins; i++) {
        allocations_of(server, "/bench", &code);
    }
    printf("| native | %-52s | %9ld | %7s | %-44s |\n",
           (std::to_string(logins) + "-login run: peak memory, KiB" + store).c_str(), peak_kib(),
           "", ("growth over the run " + std::to_string(peak_kib() - start) + " KiB").c_str());
    store_row("/etc/ssl/certs/ca-certificates.crt", store);
    check_row("/etc/ssl/certs/ca-certificates.crt", store);
    return 0;
}
