// The system's trust store on Linux, loaded once per process and shared
// read-only by the TLS context of every login, as Windows keeps its root
// store loaded for the process. Not seen by the library.
#ifndef KESTA_POSIX_TRUST_H
#define KESTA_POSIX_TRUST_H

#include <curl/curl.h>

namespace kesta_posix {

struct TrustStore; // an X509_STORE, shared

// Makes the transfer verify against the shared store: the store as it is
// now (loaded anew first when the bundle file has changed since it was
// loaded), held by the transfer until release_trust. Returns null, leaving
// the transfer as it was, where libcurl should load the bundle itself: its
// TLS library is not the one this layer was built with, or the bundle
// cannot be read or loaded. Either way certificates are checked as before.
TrustStore *attach_trust(CURL *easy);
void release_trust(TrustStore *store);

} // namespace kesta_posix

#endif
