// A host that loads the library, logs in once and unloads it, over and
// over, as a plug-in host does: every cycle must give back what the last
// one took. The machine's real trust store is used, the test network's root
// added, in a mount namespace of this process only.
//
//   unload_test LIBRARY CYCLES MAX_KIB_PER_CYCLE
//
// Prints the resident growth per cycle after a few warm-up cycles and fails
// above the bound, or when a login fails or the library stays loaded.
#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>

#include "kesta.h"

namespace {

const char BUNDLE[] = "/etc/ssl/certs/ca-certificates.crt";

long resident_kib()
{
    long pages = -1;
    long resident = -1;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f != nullptr) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = -1;
        }
        fclose(f);
    }
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool copy_into(FILE *out, const std::string &path)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return false;
    }
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) {
        fwrite(buffer, 1, n, out);
    }
    fclose(in);
    return true;
}

// The machine's bundle and the test root over the network's one-root
// bundle, seen by this process alone.
bool use_machine_store()
{
    const char *testnet = getenv("KESTA_TESTNET");
    const char *tmp = getenv("TMPDIR");
    if (testnet == nullptr) {
        fprintf(stderr, "unload_test: runs in the test network (KESTA_TESTNET)\n");
        return false;
    }
    std::string store = std::string(tmp != nullptr ? tmp : "/tmp") + "/unload-store.pem";
    FILE *out = fopen(store.c_str(), "wb");
    bool ok = out != nullptr && copy_into(out, std::string(testnet) + "/certs/system-bundle.pem") &&
              copy_into(out, std::string(testnet) + "/certs/ca.pem");
    if (out != nullptr) {
        ok = fclose(out) == 0 && ok;
    }
    if (!ok) {
        fprintf(stderr, "unload_test: cannot write %s from the machine's bundle\n", store.c_str());
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(store.c_str(), BUNDLE, "none", MS_BIND, nullptr) != 0) {
        fprintf(stderr, "unload_test: cannot mount the machine's store: %s\n", strerror(errno));
        return false;
    }
    return true;
}

// One cycle: load, one login, unload. False, with the reason printed, when
// any step fails or the library is still there afterwards.
bool cycle(const char *library, int n)
{
    void *module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        fprintf(stderr, "unload_test: dlopen: %s\n", dlerror());
        return false;
    }
    auto login = reinterpret_cast<decltype(&_KESTA_LOGIN)>(dlsym(module, "_KESTA_LOGIN"));
    auto code =
        reinterpret_cast<decltype(&_KESTA_GETERRORCODE)>(dlsym(module, "_KESTA_GETERRORCODE"));
    auto release = reinterpret_cast<decltype(&_KESTA_RELEASE)>(dlsym(module, "_KESTA_RELEASE"));
    bool ok = login != nullptr && code != nullptr && release != nullptr;
    if (ok) {
        std::string path = "/ok/unload" + std::to_string(getpid()) + "n" + std::to_string(n);
        LOGIN_RESULT *r = login(nullptr, 0, "user", "secret", "login.test", path.c_str());
        ok = r != nullptr && code(r) == 0;
        if (!ok) {
            fprintf(stderr, "unload_test: login %d failed: %lu\n", n,
                    r != nullptr ? (unsigned long)code(r) : 0ul);
        }
        release(r);
    }
    dlclose(module);
    if (dlopen(library, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        fprintf(stderr, "unload_test: the library stays loaded after dlclose\n");
        return false;
    }
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: unload_test LIBRARY CYCLES MAX_KIB_PER_CYCLE\n");
        return 2;
    }
    const char *library = argv[1];
    int cycles = atoi(argv[2]);
    double limit = atof(argv[3]);
    if (!use_machine_store()) {
        return 1;
    }
    // Warm-up: the allocator's arenas and OpenSSL's own one-time set-up.
    const int WARM = 3;
    for (int i = 0; i < WARM; i++) {
        if (!cycle(library, i)) {
            return 1;
        }
    }
    long start = resident_kib();
    for (int i = 0; i < cycles; i++) {
        if (!cycle(library, WARM + i)) {
            return 1;
        }
    }
    long end = resident_kib();
    double each = cycles > 0 ? double(end - start) / cycles : 0.0;
    printf("unload_test: %d cycles of load, login, unload: resident %ld KiB -> %ld KiB, "
           "%.1f KiB per cycle (limit %.0f)\n",
           cycles, start, end, each, limit);
    return start < 0 || end < 0 || each > limit ? 1 : 0;
}
