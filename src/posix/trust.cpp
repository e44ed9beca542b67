// One trust store per process. Loading the system's bundle (some 144 roots)
// costs about 36 ms of CPU; libcurl would do it for every connection. The
// bundle is loaded once, kept while its file stays the same (looked at for
// every login) and shared read-only: its certificates are sorted and their
// cached extensions computed before any login sees it. A changed bundle is
// loaded by one login, outside the lock, while the others go on with the
// store as it was. Each connection verifies against a small store of its
// own, which takes the roots it needs from the shared one and reads the CA
// directory afresh, as libcurl's own store would: a root rewritten there
// counts from the next login on. Everything is given back when the library
// is unloaded; a login still under way keeps its own reference.
#include "layer.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>

namespace kesta_posix {

namespace {

// The same file, unchanged: a rewrite may keep size and modification time.
bool same(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The process's shared state, behind its lock: whether the store is shared
// (not where libcurl's TLS is another OpenSSL, nor once the library is
// being unloaded), the bundle and directory libcurl would load (written
// once, by the probe), the store as last loaded, or none where that load
// failed, and the file it came from, not tried again until it changes.
struct Shared {
    std::mutex lock;
    enum { UNPROBED, SHARED, LEFT_TO_LIBCURL, CLOSED } state = UNPROBED;
    char bundle[4096] = "";
    char directory[4096] = "";
    X509_STORE *store = nullptr;
    bool tried = false;
    struct stat seen = {};
    bool loading = false; // the others go on with the old store, or wait for one
    std::condition_variable loaded;
    X509_LOOKUP_METHOD *from_bundle = nullptr; // a connection's way into the bundle

    // OpenSSL is set up first, so that its clean-up at exit runs after this.
    Shared();

    // A login that still holds the store keeps its own reference; one that
    // starts later is left to libcurl.
    ~Shared()
    {
        std::lock_guard<std::mutex> hold(lock);
        X509_STORE_free(store);
        store = nullptr;
        X509_LOOKUP_meth_free(from_bundle);
        from_bundle = nullptr;
        state = CLOSED;
    }
};

Shared &shared()
{
    static Shared s;
    return s;
}

// A connection's own store asks this for a name it has not seen: the
// bundle's certificates of that name go into it (as the directory's lookup
// adds what it reads), and the first is the answer, borrowing its reference.
int find_in_bundle(X509_LOOKUP *lookup, X509_LOOKUP_TYPE type, const X509_NAME *name,
                   X509_OBJECT *ret)
{
    X509_STORE *bundle = static_cast<X509_STORE *>(X509_LOOKUP_get_method_data(lookup));
    if (type != X509_LU_X509 || bundle == nullptr || X509_STORE_lock(bundle) != 1) {
        return 0;
    }
    STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(bundle);
    X509 *first = nullptr;
    int i = X509_OBJECT_idx_by_subject(objects, type, const_cast<X509_NAME *>(name));
    for (; i >= 0 && i < sk_X509_OBJECT_num(objects); i++) {
        X509 *cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
        if (cert == nullptr || X509_NAME_cmp(X509_get_subject_name(cert), name) != 0) {
            break;
        }
        if (X509_STORE_add_cert(X509_LOOKUP_get_store(lookup), cert) == 1 && first == nullptr) {
            first = cert;
        }
    }
    X509_STORE_unlock(bundle);
    if (first == nullptr || X509_OBJECT_set1_X509(ret, first) != 1) {
        return 0;
    }
    X509_free(first);
    return 1;
}

void drop_bundle(X509_LOOKUP *lookup)
{
    X509_STORE_free(static_cast<X509_STORE *>(X509_LOOKUP_get_method_data(lookup)));
}

Shared::Shared()
{
    OPENSSL_init_crypto(0, nullptr);
    from_bundle = X509_LOOKUP_meth_new("kesta bundle");
    if (from_bundle != nullptr) {
        X509_LOOKUP_meth_set_get_by_subject(from_bundle, find_in_bundle);
        X509_LOOKUP_meth_set_free(from_bundle, drop_bundle);
    }
}

// libcurl's TLS must be this very OpenSSL for a store of ours to be handed
// to its contexts: the same version, and a context callback it accepts.
void probe(Shared &s)
{
    s.state = Shared::LEFT_TO_LIBCURL;
    const char *theirs = curl_version_info(CURLVERSION_NOW)->ssl_version;
    char ours[64];
    snprintf(ours, sizeof ours, "OpenSSL/%s", OpenSSL_version(OPENSSL_VERSION_STRING));
    if (theirs == nullptr || strcmp(theirs, ours) != 0) {
        return;
    }
    CURL *easy = curl_easy_init();
    char *bundle = nullptr;
    char *directory = nullptr;
    bool callback = easy != nullptr &&
                    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, nullptr) == CURLE_OK &&
                    curl_easy_getinfo(easy, CURLINFO_CAINFO, &bundle) == CURLE_OK &&
                    curl_easy_getinfo(easy, CURLINFO_CAPATH, &directory) == CURLE_OK;
    if (callback && s.from_bundle != nullptr && bundle != nullptr &&
        strlen(bundle) < sizeof s.bundle &&
        (directory == nullptr || strlen(directory) < sizeof s.directory)) {
        snprintf(s.bundle, sizeof s.bundle, "%s", bundle);
        snprintf(s.directory, sizeof s.directory, "%s", directory != nullptr ? directory : "");
        s.state = Shared::SHARED;
    }
    curl_easy_cleanup(easy);
}

// The bundle as one store, complete before anyone shares it. What OpenSSL
// records of a failed load is dropped: the caller's error queue stays as it
// was.
X509_STORE *load(const char *bundle)
{
    ERR_set_mark();
    X509_STORE *store = X509_STORE_new();
    if (store == nullptr || X509_STORE_load_file(store, bundle) != 1) {
        X509_STORE_free(store);
        ERR_pop_to_mark();
        return nullptr;
    }
    // OpenSSL caches a certificate's extensions on first use and sorts the
    // store on its first search: done here, neither is a write by a login.
    STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); i++) {
        X509 *cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
        if (cert != nullptr) {
            X509_check_purpose(cert, -1, 0);
            X509_OBJECT_idx_by_subject(objects, X509_LU_X509, X509_get_subject_name(cert));
        }
    }
    ERR_pop_to_mark();
    return store;
}

// A reference for the caller to the store, or null.
X509_STORE *share(X509_STORE *store)
{
    if (store != nullptr) {
        X509_STORE_up_ref(store);
    }
    return store;
}

// The current store, with a reference for the caller, or null. A new store
// is loaded by one login outside the lock: the others go on with the store
// as it was, as a login that had started a moment earlier would.
X509_STORE *current()
{
    Shared &s = shared();
    struct stat now;
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
        if (s.state == Shared::UNPROBED) {
            probe(s);
        }
        if (s.state != Shared::SHARED || stat(s.bundle, &now) != 0) {
            return nullptr;
        }
        if ((s.tried && same(now, s.seen)) || (s.loading && s.store != nullptr)) {
            return share(s.store);
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
    X509_STORE *fresh = load(s.bundle);
    hold.lock();
    s.loading = false;
    s.loaded.notify_all();
    if (s.state == Shared::CLOSED) {
        X509_STORE_free(fresh);
        return nullptr;
    }
    // A bundle that no longer loads trusts nothing that it did (libcurl's
    // own load fails closed too): the old store goes either way.
    X509_STORE_free(s.store);
    s.store = fresh;
    s.seen = now;
    s.tried = true;
    return share(s.store);
}

// The server's own word on its certificate, stapled to the handshake. One
// that verifies (signed by the issuer or a responder it delegated to, for
// exactly this certificate, inside its validity with five minutes' grace)
// and says revoked ends the handshake before anything is sent. Any other
// changes nothing: an attacker can strip a staple anyway, so a bad one made
// fatal would only break misconfigured servers. Nobody else is asked.
int on_stapled_answer(SSL *ssl, void *tls)
{
    const unsigned char *der = nullptr;
    long n = SSL_get_tlsext_status_ocsp_resp(ssl, &der);
    STACK_OF(X509) *chain = SSL_get0_verified_chain(ssl); // the server's first
    X509_STORE *store = nullptr;
    SSL_CTX_get0_verify_cert_store(SSL_get_SSL_CTX(ssl), &store);
    ERR_set_mark();
    OCSP_RESPONSE *response = n > 0 ? d2i_OCSP_RESPONSE(nullptr, &der, n) : nullptr;
    OCSP_BASICRESP *basic = response != nullptr ? OCSP_response_get1_basic(response) : nullptr;
    OCSP_CERTID *id =
        basic != nullptr && sk_X509_num(chain) > 1
            ? OCSP_cert_to_id(nullptr, sk_X509_value(chain, 0), sk_X509_value(chain, 1))
            : nullptr;
    int status = -1;
    ASN1_GENERALIZEDTIME *made = nullptr, *until = nullptr;
    // The signature, the dearest check, last.
    bool revoked =
        id != nullptr &&
        OCSP_resp_find_status(basic, id, &status, nullptr, nullptr, &made, &until) == 1 &&
        status == V_OCSP_CERTSTATUS_REVOKED && OCSP_check_validity(made, until, 5 * 60, -1) == 1 &&
        OCSP_basic_verify(basic, chain, store, 0) == 1;
    OCSP_CERTID_free(id);
    OCSP_BASICRESP_free(basic);
    OCSP_RESPONSE_free(response);
    ERR_pop_to_mark();
    static_cast<Tls *>(tls)->revoked = revoked;
    return revoked ? 0 : 1;
}

} // namespace

// The connection's TLS: its own verify store (the bundle's roots as it
// needs them, the CA directory read afresh, libcurl's flags, among them the
// one that lets an intermediate placed in the bundle end a chain), and the
// stapled answer asked for. A context that is not this OpenSSL's own TLS
// client (a libcurl over another copy of it) is refused: a store of ours
// has no place in it.
CURLcode set_up_context(CURL *, void *ssl_ctx, void *tls)
{
    SSL_CTX *context = static_cast<SSL_CTX *>(ssl_ctx);
    if (SSL_CTX_get_ssl_method(context) != TLS_client_method()) {
        return CURLE_SSL_CERTPROBLEM;
    }
    // libcurl writes the connection's TLS secrets to the file that
    // SSLKEYLOGFILE names; with them anyone could read the password off the
    // wire. The login reads no variable, so none is written.
    SSL_CTX_set_keylog_callback(context, nullptr);
    SSL_CTX_set_tlsext_status_type(context, TLSEXT_STATUSTYPE_ocsp);
    SSL_CTX_set_tlsext_status_cb(context, on_stapled_answer);
    SSL_CTX_set_tlsext_status_arg(context, tls);
    const Shared &s = shared();
    X509_STORE *own = X509_STORE_new();
    X509_LOOKUP *lookup = own != nullptr ? X509_STORE_add_lookup(own, s.from_bundle) : nullptr;
    X509_STORE *bundle = static_cast<Tls *>(tls)->store;
    bool built = lookup != nullptr && X509_STORE_up_ref(bundle) == 1;
    if (built) {
        X509_LOOKUP_set_method_data(lookup, bundle);
    }
    built = built && (s.directory[0] == '\0' || X509_STORE_load_path(own, s.directory) == 1) &&
            X509_STORE_set_flags(own, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN) == 1 &&
            SSL_CTX_set0_verify_cert_store(context, own) == 1;
    if (!built) {
        X509_STORE_free(own);
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

void attach_trust(CURL *easy, Tls *tls)
{
    tls->store = current();
    if (tls->store == nullptr) {
        return;
    }
    // libcurl loads nothing itself then, and still verifies the chain and
    // the host name against the store handed to the context.
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, set_up_context);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, tls);
}

void release_trust(Tls *tls)
{
    X509_STORE_free(tls->store);
    tls->store = nullptr;
}

} // namespace kesta_posix
