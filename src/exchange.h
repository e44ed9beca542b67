// What the login call and the platform's internet calls must agree on, in
// one place: the library builds its request from these, the Linux stand-in
// for WinINet accepts exactly these, and the tests check both against them.
#ifndef KESTA_EXCHANGE_H
#define KESTA_EXCHANGE_H

#include "platform.h"

namespace kesta {

// TLS, nothing cached, no cookies, no dialog, and no redirect followed: a
// redirect's target is a server the caller did not name, and following one
// would send the credentials there (a 307 re-posts them) and take that
// server's session as the login's. A 3xx reply is read like any other.
constexpr DWORD REQUEST_FLAGS = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                                INTERNET_FLAG_NO_AUTO_REDIRECT;
static_assert(REQUEST_FLAGS == 0x04A80200, "request flags");

// The login server's one port.
constexpr INTERNET_PORT SERVER_PORT = INTERNET_DEFAULT_HTTPS_PORT;

// The request and reply buffer: the body is composed in it and the reply
// read into it, so no request body and no reply read is ever longer.
constexpr DWORD BUFFER_SIZE = 4096;

// Every caller-supplied text is cut to this many bytes where it is used.
constexpr int CUT_LENGTH = 240;

} // namespace kesta

#endif
