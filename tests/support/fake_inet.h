// Scripted internet calls for tests of the login call: each call is logged
// with its arguments, one of them can be made to fail, and the reads return
// the bytes the script gives, in the pieces it gives.
#ifndef KESTA_TEST_FAKE_INET_H
#define KESTA_TEST_FAKE_INET_H

#include <string>
#include <vector>

#include "platform.h"

namespace fake_inet {

struct Script {
    const char *fail = nullptr;     // the call that fails, by name
    int fail_read = 1;              // for InternetReadFile: which read fails
    DWORD code = 12029;             // what GetLastError says after the failure
    std::vector<std::string> reads; // each read's bytes; then reads return 0
    // What the options report: the request's send and receive timeouts, or
    // a failed query when it refuses (as Wine's request does), the
    // connection's, and the request's security flags after the send.
    DWORD request_timeout = 30000;
    bool request_refuses = false;
    DWORD connection_timeout = 30000;
    DWORD security_flags = SECURITY_FLAG_SECURE;
};

void reset(const Script &script);

// Every call so far, as "Name(arg, ...)" with texts quoted and null as null.
const std::vector<std::string> &calls();

// The body bytes the send was handed, and where the library's buffers were.
const std::string &body();
const char *body_address();
const char *proxy_address();

// What the bytes the library handed over or was handed (the proxy text, the
// body, the reply's pieces) still held at the last InternetCloseHandle,
// which the login calls before it returns, so from its live frame: every
// byte that was not zero, "" when all were wiped.
const std::string &left_at_last_close();

} // namespace fake_inet

#endif
