// What the Linux stand-ins share among themselves; not seen by the library.
#ifndef KESTA_POSIX_LAYER_H
#define KESTA_POSIX_LAYER_H

#include <curl/curl.h>
#include <openssl/types.h>
#include <stddef.h>

#include "win32.h"

namespace kesta_posix {

// Sets this thread's last error, with a detail that the message text of
// ERROR_INTERNET_INTERNAL_ERROR carries (the transport's own words for a
// failure that no better code fits). A null detail clears it.
void set_error(DWORD code, const char *detail);

// A table that turns a code into another, or into its text.
template <class T> struct Entry {
    long code;
    T value;
};

template <class T, size_t N> T lookup(const Entry<T> (&table)[N], long code, T otherwise)
{
    for (const Entry<T> &e : table) {
        if (e.code == code) {
            return e.value;
        }
    }
    return otherwise;
}

// One login's TLS (trust.cpp): the shared trust store it verifies against,
// the system's bundle loaded once per process, as Windows keeps its root
// store loaded; and whether the server stapled a verified answer that says
// its certificate is revoked.
struct Tls {
    X509_STORE *store = nullptr;
    bool revoked = false;
};

// Makes the transfer verify against the store as it is now (loaded anew
// first when the bundle has changed), held until release_trust, and honour
// a stapled answer. Without a store (libcurl's TLS is not this layer's
// OpenSSL, or the bundle does not load) the transfer loads the bundle
// itself; certificates are checked either way.
void attach_trust(CURL *easy, Tls *tls);
void release_trust(Tls *tls);

// The TLS context callback attach_trust sets: a verify store of the
// context's own over the shared one, and a stapled answer asked for and
// checked. Fails the connection for a context that is not this OpenSSL's
// TLS client.
CURLcode set_up_context(CURL *easy, void *ssl_ctx, void *tls);

} // namespace kesta_posix

#endif
