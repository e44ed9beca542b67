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
    uint32_t code = 0;
    bool text = false;
    std::optional<std::string> session, agent; // none: null
    uint32_t race = 0; // another code that may come instead, when it is a race
};

struct Row {
    int line = 0; // where the row starts in its file
    std::string name;
    std::string server = "login.test";
    std::string path;     // the scenario, the path's first segment
    bool defines = false; // the row defines its scenario (path), or uses it
    std::string tail;
    std::optional<std::string> id = std::string("user");
    std::optional<std::string> password = std::string("secret");
    std::optional<std::string> proxy_host; // none: a direct login
    int32_t proxy_port = 0;
    Record native_record;
    Record wine_record;
    bool wine_skip = false;
    std::string why; // why Wine differs, or cannot run the row
    bool seen = true;
    bool wine_seen = true;
    std::string host; // the Host line's name, where it is not the server's
    std::string body = "ID=user&PW=secret";
    bool connects = true;
    std::string proxy_seen;
    std::string waits; // "connect", "receive", "exchange" or empty
    bool short_timeouts = false;
    bool soak = false;

    // The record on this target.
    const Record &expected() const { return WINE ? wine_record : native_record; }
    // Whether the server must see the request on this target.
    bool seen_here() const { return WINE ? wine_seen : seen; }
};

// A row in a test's messages: its name.
void PrintTo(const Row &row, std::ostream *out);

// Every row of tests/scenarios.rows, in order; on a file that breaks its
// rules (the file's head gives them), none, and problem says why as
// FILE:LINE: what.
const std::vector<Row> &rows(std::string *problem = nullptr);
// The same for any rows file, read anew.
std::vector<Row> read_rows(const std::string &file, std::string *problem);
const Row *row_named(const std::string &name);

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

// The last request head a test proxy recorded, one line each.
std::vector<std::string> last_proxy_head(const std::string &address);

// Connections this network namespace has opened so far (the kernel's
// ActiveOpens), or -1 when it cannot be read.
long active_opens();

// The test's timeouts: the connect and receive timeouts and the ceiling on
// a whole exchange of the library under test, in milliseconds.
long connect_timeout_ms();
long receive_timeout_ms();
long exchange_timeout_ms();

} // namespace scenarios

#endif
