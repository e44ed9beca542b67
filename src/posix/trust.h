// The system's trust store on Linux: the bundle loaded once per process and
// shared read-only by the TLS context of every login, as Windows keeps its
// root store loaded for the process, and the CA directory read by each
// connection. Not seen by the library.
#ifndef KESTA_POSIX_TRUST_H
#define KESTA_POSIX_TRUST_H

#include <curl/curl.h>

namespace kesta_posix {

struct TrustStore; // the bundle's X509_STORE, shared

// Makes the transfer verify against the shared store: the store as it is
// now (loaded anew first when the bundle file has changed since it was
// loaded), held by the transfer until release_trust. Returns null, leaving
// the transfer as it was, where libcurl should load the bundle itself: its
// TLS library is not the one this layer was built with, or the bundle
// cannot be read or loaded. Either way certificates are checked as before.
TrustStore *attach_trust(CURL *easy);
void release_trust(TrustStore *store);

// The TLS context callback attach_trust sets, with the store as its data:
// gives the context a verify store of its own over the shared one. Fails,
// and so ends the connection, for a context that is not this OpenSSL's TLS
// client.
CURLcode use_store(CURL *easy, void *ssl_ctx, void *trust);

} // namespace kesta_posix

#endif
