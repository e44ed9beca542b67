// The scenario rows (tests/scenarios.rows) and what the test network tells
// a test about a login: what the servers and proxies recorded, and how many
// connections were opened. Used by the scenario, torture, soak and layer
// tests on both targets.
#ifndef KESTA_TEST_SCENARIOS_H
#define KESTA_TEST_SCENARIOS_H

#include <stdint.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace scenarios {

#ifdef _WIN32
const bool WINE = true;
#else
const bool WINE = false;
#endif

// The record one login must give.
struct Record {
    uint32_t code;
    bool text;
    std::optional<std::string> session, agent; // none: null
    uint32_t race; // another code that may come instead, when it is a race
};

// One row of tests/scenarios.rows with everything the tests take from it.
// tests/rows.py reads the file and writes each row as an initializer of
// these fields in this order (and of Record's): keep the two alike. The
// defaults are the reader's too.
struct Row {
    int line; // where the row starts in the file
    std::string name;
    std::string server;
    std::string scenario; // the path's first segment: the reply the server gives
    std::string tail;     // after the record's name
    std::optional<std::string> id;
    std::optional<std::string> password;
    std::optional<std::string> proxy_host; // none: a direct login
    int32_t proxy_port;
    Record native_record;
    Record wine_record;
    bool wine_skip;
    std::string why; // why Wine differs, or cannot run the row
    bool seen;
    bool wine_seen;
    std::string host; // the Host line's name, where it is not the server's
    std::string body;
    bool connects;
    std::string proxy_seen;
    std::string waits; // "connect", "receive", "exchange" or empty
    bool short_timeouts;
    bool soak;

    // The record on this target.
    const Record &expected() const { return WINE ? wine_record : native_record; }
    // Whether the server must see the request on this target.
    bool seen_here() const { return WINE ? wine_seen : seen; }
};

// A row in a test's messages: its line and name.
void PrintTo(const Row &row, std::ostream *out);

// Every row of tests/scenarios.rows, in order, as the build read it (the
// table tests/rows.py writes).
const std::vector<Row> &rows();

// How a record differs from the one expected, or "" when it does not.
std::string mismatch(const Record &want, uint32_t code, const char *text, const char *session,
                     const char *agent);

// A record name unique to this run of the program, from a row's name.
std::string unique_token(const std::string &name);

// What a test server wrote down for one request.
struct Request {
    std::string method, path, version, body;
    std::vector<std::string> headers;
    int client_port = 0;  // the connection it came on
    bool resumed = false; // over a TLS session resumed from an earlier one
    bool has_header(const std::string &name) const;
};

// The requests the servers recorded under a token, in order.
std::vector<Request> requests_for(const std::string &token);

// Every request head a test proxy recorded, in order, one line each.
std::vector<std::vector<std::string>> proxy_heads(const std::string &address);

// Connections this network namespace has opened so far (the kernel's
// ActiveOpens), or -1 when it cannot be read.
long active_opens();

} // namespace scenarios

#endif
