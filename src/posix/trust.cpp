// One trust store per process. Loading the system's bundle (some 144 roots)
// costs about 36 ms of CPU; libcurl would do it for every connection. The
// store is loaded once, kept while the bundle file stays the same (inode,
// size, modification time, looked at for every login), and handed to each
// TLS context as its verify store. A login under way keeps the store it
// started with; a changed bundle is loaded anew for the next one.
//
// The store is never written once it is shared: its flags are set and the
// certificates' cached extensions are computed before any login sees it.
#include "trust.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

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

// The process's shared state, behind its lock: which bundle libcurl would
// load, whether its TLS library is ours, and the store of the bundle as
// last seen.
struct Shared {
    std::mutex lock;
    bool probed = false;
    bool usable = false;
    char bundle[4096] = "";
    struct stat seen = {};
    X509_STORE *store = nullptr;
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
    bool callback = easy != nullptr &&
                    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, nullptr) == CURLE_OK &&
                    curl_easy_getinfo(easy, CURLINFO_CAINFO, &bundle) == CURLE_OK;
    if (callback && bundle != nullptr && strlen(bundle) < sizeof s.bundle) {
        snprintf(s.bundle, sizeof s.bundle, "%s", bundle);
        s.usable = true;
    }
    curl_easy_cleanup(easy);
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The bundle as a store that is complete before anyone shares it, with the
// verification flags libcurl sets on a store of its own.
X509_STORE *load(const char *bundle)
{
    X509_STORE *store = X509_STORE_new();
    if (store == nullptr || X509_STORE_load_file(store, bundle) != 1) {
        X509_STORE_free(store);
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
    return store;
}

// The current store, with a reference for the caller, or null.
X509_STORE *current()
{
    Shared &s = shared();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.probed) {
        probe(s);
    }
    struct stat now;
    if (!s.usable || stat(s.bundle, &now) != 0) {
        return nullptr;
    }
    if (s.store == nullptr || !same_file(now, s.seen)) {
        X509_STORE *fresh = load(s.bundle);
        if (fresh == nullptr) {
            // Not the old store: a bundle that no longer loads trusts nothing
            // that it did before, and libcurl's own load fails closed too.
            return nullptr;
        }
        X509_STORE_free(s.store); // logins under way hold their own reference
        s.store = fresh;
        s.seen = now;
    }
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
