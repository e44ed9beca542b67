// One trust store per process. Loading the system's bundle (some 144 roots)
// costs about 36 ms of CPU; libcurl would do it for every connection. The
// store is loaded once, kept while the bundle file and the CA directory
// stay the same (looked at for every login), and handed to each TLS
// context as its verify store. A login under way keeps the store it
// started with; a change is loaded anew by one login, outside the lock,
// while the others go on with the store as it was.
//
// Logins share the store read-only: its flags are set and the bundle's
// certificates' cached extensions are computed before any login sees it.
// Only OpenSSL itself adds to it, under the store's own lock, when it looks
// up a root in the CA directory, as it would in a store of libcurl's.
//
// Everything is given back when the library is unloaded or the process
// ends; a login still under way then keeps its own reference.
#include "trust.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <new>

// A build of the layer may leave the store to libcurl, as for a libcurl
// over another TLS library: the benchmark and a test compare the two.
#ifndef KESTA_SHARED_TRUST
#define KESTA_SHARED_TRUST 1
#endif

namespace kesta_posix {

struct TrustStore {
    X509_STORE *store;
};

namespace {

// What the store was built from, as the file system shows it. The change
// time is there because a rewrite may keep size and modification time.
struct Identity {
    struct stat bundle = {};
    struct stat directory = {};
    bool has_directory = false;
};

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool same(const Identity &a, const Identity &b)
{
    return same_file(a.bundle, b.bundle) && a.has_directory == b.has_directory &&
           (!a.has_directory || same_file(a.directory, b.directory));
}

// The process's shared state, behind its lock: which bundle and directory
// libcurl would load, whether its TLS library is ours, the store as last
// built, and the files of a load that failed, not tried again until they
// change. The names are written once, by the probe, and only read after.
struct Shared {
    std::mutex lock;
    bool probed = false;
    bool usable = false;
    bool closed = false;
    char bundle[4096] = "";
    char directory[4096] = "";
    Identity seen;
    X509_STORE *store = nullptr;
    Identity failed;
    bool has_failed = false;
    // A login is loading a new store; the others go on with the old one,
    // or, where there is none, wait for it.
    bool loading = false;
    std::condition_variable loaded;

    // OpenSSL is set up first, so that its own clean-up at exit is
    // registered before this one and runs after it.
    Shared() { OPENSSL_init_crypto(0, nullptr); }

    // At unload or exit: the store goes back; a login that still holds it
    // keeps its own reference, and one that starts later is left to libcurl.
    ~Shared()
    {
        std::lock_guard<std::mutex> hold(lock);
        X509_STORE_free(store);
        store = nullptr;
        closed = true;
    }
};

Shared &shared()
{
    static Shared s;
    return s;
}

// libcurl's TLS must be this very OpenSSL for a store of ours to be handed
// to its contexts: the same version, and a context callback it accepts.
void probe(Shared &s)
{
    s.probed = true;
    if (!KESTA_SHARED_TRUST) {
        return;
    }
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    unsigned major = 0, minor = 0, patch = 0;
    if (info->ssl_version == nullptr ||
        sscanf(info->ssl_version, "OpenSSL/%u.%u.%u", &major, &minor, &patch) != 3) {
        return;
    }
    unsigned long ours = OpenSSL_version_num(); // 0xMNN00PP0
    if (major != (ours >> 28) || minor != ((ours >> 20) & 0xFF) || patch != ((ours >> 4) & 0xFF)) {
        return;
    }
    CURL *easy = curl_easy_init();
    char *bundle = nullptr;
    char *directory = nullptr;
    bool callback = easy != nullptr &&
                    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, nullptr) == CURLE_OK &&
                    curl_easy_getinfo(easy, CURLINFO_CAINFO, &bundle) == CURLE_OK &&
                    curl_easy_getinfo(easy, CURLINFO_CAPATH, &directory) == CURLE_OK;
    if (callback && bundle != nullptr && strlen(bundle) < sizeof s.bundle &&
        (directory == nullptr || strlen(directory) < sizeof s.directory)) {
        snprintf(s.bundle, sizeof s.bundle, "%s", bundle);
        snprintf(s.directory, sizeof s.directory, "%s", directory != nullptr ? directory : "");
        s.usable = true;
    }
    curl_easy_cleanup(easy);
}

// The files as they are now; false when there is no bundle to read.
bool look(const Shared &s, Identity &now)
{
    if (stat(s.bundle, &now.bundle) != 0) {
        return false;
    }
    now.has_directory = s.directory[0] != '\0' && stat(s.directory, &now.directory) == 0;
    return true;
}

// The bundle and the directory as one store that is complete before anyone
// shares it, with the verification flags libcurl sets on a store of its
// own. Roots in the directory are read when a chain needs them, as libcurl
// would read them. What OpenSSL records of a failed load is dropped again:
// the caller's thread gets back its error queue as it was.
X509_STORE *load(const char *bundle, const char *directory)
{
    ERR_set_mark();
    X509_STORE *store = X509_STORE_new();
    if (store == nullptr || X509_STORE_load_file(store, bundle) != 1 ||
        (directory[0] != '\0' && X509_STORE_load_path(store, directory) != 1)) {
        X509_STORE_free(store);
        ERR_pop_to_mark();
        return nullptr;
    }
    X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    // OpenSSL computes a certificate's extensions on first use and caches
    // them in the certificate: done here, that is no write from a login.
    STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); i++) {
        X509 *cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
        if (cert != nullptr) {
            X509_check_purpose(cert, -1, 0);
        }
    }
    ERR_pop_to_mark();
    return store;
}

// The current store, with a reference for the caller, or null. A new store
// is loaded by one login outside the lock, so that no other login waits
// for it: they go on with the store as it was until it is swapped in, as a
// login that had started a moment earlier would.
X509_STORE *current()
{
    Shared &s = shared();
    Identity now;
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
        if (s.closed) {
            return nullptr;
        }
        if (!s.probed) {
            probe(s);
        }
        if (!s.usable || !look(s, now)) {
            return nullptr;
        }
        if (s.store != nullptr && (s.loading || same(now, s.seen))) {
            X509_STORE_up_ref(s.store);
            return s.store;
        }
        if (s.has_failed && same(now, s.failed)) {
            return nullptr;
        }
        if (!s.loading) {
            break;
        }
        s.loaded.wait(hold); // nothing loaded yet to go on with
    }
    s.loading = true;
    hold.unlock();
    // Looked at before it is read: a file that changes in between is seen
    // as changed again by the next login, never the other way round.
    X509_STORE *fresh = load(s.bundle, s.directory);
    hold.lock();
    s.loading = false;
    s.loaded.notify_all();
    if (s.closed) {
        X509_STORE_free(fresh);
        return nullptr;
    }
    // Logins under way hold their own reference to the old store. A bundle
    // that no longer loads trusts nothing that it did before (libcurl's own
    // load fails closed too), so the old store goes either way.
    X509_STORE_free(s.store);
    s.store = fresh;
    if (fresh == nullptr) {
        s.failed = now;
        s.has_failed = true;
        return nullptr;
    }
    s.seen = now;
    s.has_failed = false;
    X509_STORE_up_ref(s.store);
    return s.store;
}

CURLcode use_store(CURL *, void *ssl_ctx, void *user)
{
    TrustStore *trust = static_cast<TrustStore *>(user);
    // The verify store, not the context's own: libcurl sets flags on that
    // one for every connection, which would be writes to the shared store.
    if (SSL_CTX_set1_verify_cert_store(static_cast<SSL_CTX *>(ssl_ctx), trust->store) != 1) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

} // namespace

TrustStore *attach_trust(CURL *easy)
{
    X509_STORE *store = current();
    TrustStore *trust = store != nullptr ? new (std::nothrow) TrustStore{store} : nullptr;
    if (trust == nullptr) {
        X509_STORE_free(store);
        return nullptr;
    }
    // libcurl loads nothing itself then, and still verifies the chain and
    // the host name against the store handed to the context.
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, use_store);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, trust);
    return trust;
}

void release_trust(TrustStore *trust)
{
    if (trust != nullptr) {
        X509_STORE_free(trust->store);
        delete trust;
    }
}

} // namespace kesta_posix
