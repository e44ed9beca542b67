// The whole login through the built library, loaded the way a host program
// loads it, against the test network's real servers and proxy. One table
// for both targets; where Wine's WinINet answers differently from the Linux
// library (and from WinINet on Windows), the row says so and why.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kesta.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#ifdef _WIN32
const bool WINE = true;
const char TARGET[] = "w";
#else
const bool WINE = false;
const char TARGET[] = "n";
#endif

struct Library {
    decltype(&_KESTA_LOGIN) login = nullptr;
    decltype(&_KESTA_RELEASE) release = nullptr;
    decltype(&_KESTA_GETVERSION) version = nullptr;
    decltype(&_KESTA_GETERRORCODE) code = nullptr;
    decltype(&_KESTA_GETERRORSTRING) text = nullptr;
    decltype(&_KESTA_GETSESSIONID) session = nullptr;
    decltype(&_KESTA_GETUSERAGENT) agent = nullptr;
    std::string problem;
};

template <class Fn> void resolve(Fn *out, void *address)
{
    *out = reinterpret_cast<Fn>(address);
}

// Loads the library by name, and on Windows also checks that each export's
// name and ordinal lead to the same address.
Library load()
{
    Library lib;
    struct Export {
        const char *name;
        int ordinal;
        void *address;
    } exports[] = {{"_KESTA_GETERRORCODE", 1, nullptr}, {"_KESTA_GETERRORSTRING", 2, nullptr},
                   {"_KESTA_GETSESSIONID", 3, nullptr}, {"_KESTA_GETUSERAGENT", 4, nullptr},
                   {"_KESTA_GETVERSION", 5, nullptr},   {"_KESTA_LOGIN", 6, nullptr},
                   {"_KESTA_RELEASE", 7, nullptr}};
#ifdef _WIN32
    HMODULE module = LoadLibraryA("kesta.dll");
    if (module == nullptr) {
        lib.problem = "LoadLibraryA(kesta.dll) failed: " + std::to_string(GetLastError());
        return lib;
    }
    for (Export &e : exports) {
        void *by_name = reinterpret_cast<void *>(GetProcAddress(module, e.name));
        void *by_ordinal =
            reinterpret_cast<void *>(GetProcAddress(module, MAKEINTRESOURCEA(e.ordinal)));
        if (by_name == nullptr || by_name != by_ordinal) {
            lib.problem += std::string(e.name) + " by name and by ordinal differ; ";
        }
        e.address = by_name;
    }
#else
    const char *path = getenv("KESTA_LIBRARY");
    void *module = dlopen(path != nullptr ? path : "libkesta.so.1", RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        lib.problem = std::string("dlopen failed: ") + dlerror();
        return lib;
    }
    for (Export &e : exports) {
        e.address = dlsym(module, e.name);
        if (e.address == nullptr) {
            lib.problem += std::string(e.name) + " missing; ";
        }
    }
#endif
    resolve(&lib.code, exports[0].address);
    resolve(&lib.text, exports[1].address);
    resolve(&lib.session, exports[2].address);
    resolve(&lib.agent, exports[3].address);
    resolve(&lib.version, exports[4].address);
    resolve(&lib.login, exports[5].address);
    resolve(&lib.release, exports[6].address);
    return lib;
}

const Library &library()
{
    static const Library lib = load();
    return lib;
}

// What the server wrote down for one request.
struct Request {
    std::string method, path, version, body;
    std::vector<std::string> headers;

    bool has_header(const std::string &name) const
    {
        for (const std::string &h : headers) {
            if (h.size() > name.size() && h.compare(0, name.size(), name) == 0 &&
                h[name.size()] == ':') {
                return true;
            }
        }
        return false;
    }
};

std::string records_dir()
{
    const char *dir = getenv("KESTA_RECORDS");
    std::string path = dir != nullptr ? dir : "";
    // Wine sees the Linux file system as drive Z:.
    return WINE && !path.empty() && path[0] == '/' ? "Z:" + path : path;
}

std::string unhex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += char(strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return out;
}

std::vector<Request> requests_for(const std::string &token)
{
    std::vector<Request> out;
    FILE *f = fopen((records_dir() + "/" + token).c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    char line[8192];
    while (fgets(line, sizeof line, f) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        size_t space = text.find(' ');
        std::string key = text.substr(0, space);
        std::string value = space == std::string::npos ? "" : text.substr(space + 1);
        if (key == "method") {
            out.push_back(Request());
            out.back().method = value;
        } else if (out.empty()) {
            continue;
        } else if (key == "path") {
            out.back().path = value;
        } else if (key == "version") {
            out.back().version = value;
        } else if (key == "header") {
            out.back().headers.push_back(value);
        } else if (key == "body") {
            out.back().body = unhex(value);
        }
    }
    fclose(f);
    return out;
}

std::string unique_token(const char *name)
{
    // Runs of this program share the servers' records: each run's names
    // start with the time it started.
    static const long long run = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    static std::atomic<int> counter{0};
    std::string token =
        std::string(TARGET) + std::to_string(run) + "-" + std::to_string(counter++) + "-";
    for (const char *c = name; *c != '\0'; c++) {
        token += isalnum(static_cast<unsigned char>(*c)) ? *c : '-';
    }
    return token;
}

// Connections this network namespace has opened so far (the kernel's
// ActiveOpens): nothing else in the test network opens one on its own, so a
// login that must not touch the network leaves it as it was.
long active_opens()
{
    FILE *f = fopen(WINE ? "Z:/proc/net/snmp" : "/proc/net/snmp", "r");
    if (f == nullptr) {
        return -1;
    }
    std::vector<std::string> tcp; // the names line, then the values line
    char line[1024];
    while (tcp.size() < 2 && fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "Tcp:", 4) == 0) {
            tcp.push_back(line);
        }
    }
    fclose(f);
    if (tcp.size() < 2) {
        return -1;
    }
    std::istringstream names(tcp[0]);
    std::istringstream values(tcp[1]);
    std::string name;
    std::string value;
    while (names >> name && values >> value) {
        if (name == "ActiveOpens") {
            return atol(value.c_str());
        }
    }
    return -1;
}

// The last request head a test proxy recorded, one line each.
std::vector<std::string> last_proxy_head(const std::string &address)
{
    std::vector<std::string> head;
    FILE *f = fopen((records_dir() + "/proxy-" + address).c_str(), "rb");
    if (f == nullptr) {
        return head;
    }
    char line[8192];
    bool blank = true;
    while (fgets(line, sizeof line, f) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text.empty()) {
            blank = true;
            continue;
        }
        if (blank) {
            head.clear();
            blank = false;
        }
        head.push_back(text);
    }
    fclose(f);
    return head;
}

long receive_timeout_ms()
{
    const char *value = getenv("KESTA_TEST_RECEIVE_TIMEOUT_MS");
    return value != nullptr ? atol(value) : 30000;
}

const char *NONE = nullptr;
const std::string A300(300, 'a');
const std::string A240(240, 'a');
const std::string TRICKLE_SESSION = "TrickleUA:" + std::string(40, 't');
const std::string SJIS = "\x83\x65\x83\x58\x83\x67"; // "test" in katakana, Shift-JIS

struct Row {
    const char *name;
    const char *server;
    const char *scenario; // the path's first segment; the record's name follows
    const char *id;
    const char *password;
    const char *proxy_host;
    int32_t proxy_port;
    const char *session;
    const char *agent;
    uint32_t code;
    bool text;    // whether the code comes with a message text
    bool request; // whether the server sees the request
    std::string body;
    // Where Wine's WinINet gives another answer: its code and text, and why.
    uint32_t wine_code;
    bool wine_text;
    const char *why;
    // A second code Wine may give, when which one it gives is a race.
    uint32_t wine_race = 0;
    // The texts Wine's record holds where it logs in and Linux does not.
    const char *wine_session = nullptr;
    const char *wine_agent = nullptr;
    // False where nothing may go on the network at all: no connection is
    // opened, to any address, from the login's start to its end.
    bool connects = true;
    // The proxy whose record of the CONNECT it got is checked, by address.
    const char *proxy_seen = nullptr;
    // Appended to the path after the record's name.
    const char *path_tail = "";
    // A row that waits for a timeout: it takes the receive timeout, no less
    // and not much more.
    bool waits = false;
    // Why the row cannot run under Wine at all.
    const char *wine_skip = nullptr;
};

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

const std::string BODY = "ID=user&PW=secret";

Row ok(const char *name, const char *scenario, const char *session, const char *agent)
{
    return {name, "login.test", scenario, "user", "secret", nullptr, 0,      session, agent,
            0,    false,        true,     BODY,   0,        false,   nullptr};
}

Row refused(const char *name, const char *scenario, const char *session)
{
    return {name,    "login.test", scenario, "user", "secret", nullptr, 0,     session,
            nullptr, 13,           true,     true,   BODY,     0,       false, nullptr};
}

// The server cuts the exchange off after it has read the request.
Row cut_off(const char *name, const char *scenario, uint32_t code)
{
    Row row = refused(name, scenario, nullptr);
    row.code = code;
    return row;
}

Row failed(const char *name, const char *server, uint32_t code, bool text)
{
    return {name,    server, "ok", "user", "secret", nullptr, 0,     nullptr,
            nullptr, code,   text, false,  "",       0,       false, nullptr};
}

Row body_row(const char *name, const char *id, const char *password, std::string body)
{
    return {name, "login.test", "echo", id,   password, nullptr, 0,      nullptr, nullptr,
            0,    false,        true,   body, 0,        false,   nullptr};
}

Row proxied(const char *name, const char *host, int32_t port, uint32_t code)
{
    bool good = code == 0;
    return {name,
            "login.test",
            "ok",
            "user",
            "secret",
            host,
            port,
            good ? "KelpinUA:abc123" : nullptr,
            good ? "KelpinUA" : nullptr,
            code,
            !good,
            good,
            good ? BODY : "",
            0,
            false,
            nullptr};
}

Row differs(Row row, uint32_t wine_code, bool wine_text, const char *why)
{
    row.wine_code = wine_code;
    row.wine_text = wine_text;
    row.why = why;
    return row;
}

Row waits(Row row)
{
    row.waits = true;
    return row;
}

Row logs_in_on_wine(Row row, const char *session, const char *agent)
{
    row.wine_session = session;
    row.wine_agent = agent;
    return row;
}

Row race(Row row, uint32_t wine_race)
{
    row.wine_race = wine_race;
    return row;
}

// Caller input that could move the login or add to its request: refused
// before anything goes on the network.
Row refused_input(const char *name, const char *proxy_host, int32_t proxy_port,
                  const char *server = "login.test", const char *path_tail = "")
{
    Row row = failed(name, server, 87, true);
    row.proxy_host = proxy_host;
    row.proxy_port = proxy_port;
    row.path_tail = path_tail;
    row.connects = false;
    return row;
}

// Through one of the test proxies, which records the CONNECT it gets.
Row through(Row row, const char *address)
{
    row.proxy_seen = address;
    return row;
}

Row skipped_on_wine(Row row, const char *why)
{
    row.wine_skip = why;
    return row;
}

// Through the real proxy to a server that is not the login server.
Row proxied_to(const char *name, const char *server, uint32_t code)
{
    Row row = failed(name, server, code, true);
    row.proxy_host = "proxy.test";
    row.proxy_port = 3128;
    return row;
}

// Wine 8's WinINet retries a failed TLS handshake on a new connection to the
// server's own address, which it never looked up when a proxy is in use: an
// assertion in its netconnection.c then ends the whole process.
const char WINE_ABORTS[] = "Wine's WinINet aborts the process when a handshake through a proxy "
                           "fails (an assertion in its retry)";

const std::vector<Row> &rows()
{
    static const std::vector<Row> table = {
        ok("success with the final LF", "ok", "KelpinUA:abc123", "KelpinUA"),
        ok("success without the final LF", "ok-nolf", "KelpinUA:abc123", "KelpinUA"),
        ok("CR LF keeps the CR", "crlf", "KelpinUA:abc123\r", "KelpinUA"),
        ok("two colons", "two-colons", "UA:x:y", "UA"),
        ok("a leading colon gives an empty agent", "leading-colon", ":abc", ""),
        ok("status 500 with a good body still logs in", "status-500", "UA:abc", "UA"),
        ok("a reply trickled in pieces", "trickle", TRICKLE_SESSION.c_str(), "TrickleUA"),
        ok("one byte every 100 ms", "slow", "SlowUA:slow", "SlowUA"),
        logs_in_on_wine(
            differs(cut_off("a body shorter than its Content-Length", "short-body", 12030), 0,
                    false, "Wine reads a body cut short as a whole one"),
            "ShortUA:abc", "ShortUA"),
        differs(cut_off("2 MB of header lines", "header-flood", 12152), 13, true,
                "Wine reads every header line, however many; Linux stops at 64 KiB"),
        ok("a chunked reply trickled in pieces", "trickle-chunked", TRICKLE_SESSION.c_str(),
           "TrickleUA"),
        refused("the bare prefix", "bare-prefix", ""),
        refused("the prefix and LF", "prefix-lf", ""),
        refused("no colon", "no-colon", "abc"),
        refused("a lower-case prefix", "lower-prefix", NONE),
        refused("a reply shorter than the prefix", "short", NONE),
        refused("an empty body", "empty", NONE),
        refused("an HTML error page with status 500", "error-page", NONE),
        refused("a NUL before the colon", "nul", "ab"),
        refused("binary junk", "junk", NONE),
        differs(
            cut_off("the server closes after reading the request", "close-after-request", 12152),
            13, true, "Wine reads the closed connection as an empty reply"),
        race(differs(cut_off("headers, then a reset", "reset", 12030), 12030, true,
                     "Wine reads the reset as the end of the body when it comes first"),
             13),
        waits(differs(cut_off("the server reads the request and never answers", "stall", 12002),
                      12030, true, "Wine reports its receive timeout as a cut connection")),

        failed("a certificate for another name", "wrongname.test", 12038, true),
        failed("an expired certificate", "expired.test", 12037, true),
        differs(failed("a certificate from an untrusted CA", "untrusted.test", 12045, true), 12057,
                false, "Wine reports an unknown root as a failed revocation check, without text"),
        differs(failed("a TLS alert in the handshake", "alert.test", 12157, true), 12157, false,
                "Wine's message table has no text for 12157"),
        differs(failed("a server that closes before sending anything", "closing.test", 12157, true),
                12157, false, "Wine's message table has no text for 12157"),
        failed("nothing listens at the address", "unreachable.test", 12029, true),
        failed("a name that does not resolve", "nowhere.test", 12007, true),
        failed("an empty server name", "", 87, true),

        body_row("plain ID and password", "user", "secret", "ID=user&PW=secret"),
        body_row("reserved bytes go unescaped", "a&b=c%20d", "p w&x=y", "ID=a&b=c%20d&PW=p w&x=y"),
        body_row("Shift-JIS bytes as they are", SJIS.c_str(), SJIS.c_str(),
                 "ID=" + SJIS + "&PW=" + SJIS),
        body_row("a 300-byte ID is cut at 240", A300.c_str(), "p", "ID=" + A240 + "&PW=p"),
        body_row("a 300-byte password is cut at 240", "u", A300.c_str(), "ID=u&PW=" + A240),
        body_row("a null ID", nullptr, "p", "ID=(null)&PW=p"),
        body_row("a null password", "u", nullptr, "ID=u&PW=(null)"),

        proxied("through the proxy", "proxy.test", 3128, 0),
        proxied("an empty proxy host is a direct connection, whatever the port", "", -1, 0),
        proxied("nothing listens at the proxy port", "proxy.test", 3999, 12029),
        proxied("a 300-byte proxy host is cut and not found", A300.c_str(), 3128, 12007),
        through(proxied("a proxy is asked for the named server and given no credentials",
                        "recorder.test", 3128, 0),
                "127.0.3.6"),
        through(proxied("a proxy's 502 with a forged session is no login", "forged502.test", 3128,
                        12029),
                "127.0.3.2"),
        through(proxied("a proxy's 407 with a forged session is no login", "forged407.test", 3128,
                        12029),
                "127.0.3.3"),
        through(proxied("a proxy's own error page is no reply", "errorpage.test", 3128, 12029),
                "127.0.3.4"),
        skipped_on_wine(proxied("a proxy that says yes and then speaks plain HTTP", "plain200.test",
                                3128, 12157),
                        WINE_ABORTS),
        proxied_to("a certificate for another name behind the proxy", "wrongname.test", 12038),
        skipped_on_wine(proxied_to("a TLS alert behind the proxy", "alert.test", 12157),
                        WINE_ABORTS),

        refused_input("a CR LF and a header line in the path", nullptr, 0, "login.test",
                      "\r\nX-Injected: 1"),
        refused_input("a CR LF and a second Host in the path", nullptr, 0, "login.test",
                      "\r\nHost: other.test"),
        refused_input("user info in the server name", "recorder.test", 3128, "user:pw@login.test"),
        refused_input("a path in the server name", "recorder.test", 3128, "login.test/x"),
        refused_input("a port in the server name", nullptr, 0, "login.test:8443"),
        refused_input("proxy port -1", "recorder.test", -1),
        refused_input("proxy port 99999", "recorder.test", 99999),
        refused_input("two proxies split by a space", "127.0.3.1 127.0.3.6", 3128),
        refused_input("a path after the proxy host", "127.0.3.6/x", 3128),
        refused_input("a proxy for one scheme only", "https=127.0.3.6", 3128),
        refused_input("user info in the proxy host", "user:pw@127.0.3.6", 3128),
        refused_input("a SOCKS proxy URL", "socks5://127.0.3.6", 3128),
        refused_input("an https proxy URL", "https://127.0.3.6", 3128),
    };
    return table;
}

class Scenario : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override { ASSERT_EQ(library().problem, ""); }
};

TEST_P(Scenario, GivesTheRecordAndTheRequestOfItsRow)
{
    const Library &lib = library();
    const Row &row = GetParam();
    if (WINE && row.wine_skip != nullptr) {
        GTEST_SKIP() << row.wine_skip;
    }
    std::string token = unique_token(row.name);
    std::string path = "/" + std::string(row.scenario) + "/" + token;

    long opens_before = active_opens();
    ASSERT_GE(opens_before, 0) << "cannot read the connection count";
    auto start = std::chrono::steady_clock::now();
    LOGIN_RESULT *r = lib.login(row.proxy_host, row.proxy_port, row.id, row.password, row.server,
                                (path + row.path_tail).c_str());
    long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count());
    ASSERT_NE(r, nullptr);
    if (!row.connects) {
        EXPECT_EQ(active_opens(), opens_before) << "a connection was opened";
    }
    if (row.waits) {
        EXPECT_GE(ms, receive_timeout_ms() - 100);
        EXPECT_LT(ms, receive_timeout_ms() + 5000) << "within the receive timeout";
    }
    if (row.proxy_seen != nullptr) {
        std::vector<std::string> head = last_proxy_head(row.proxy_seen);
        ASSERT_FALSE(head.empty()) << "the proxy saw nothing";
        // The tunnel is asked for the named server on 443; HTTP/1.0 or 1.1.
        EXPECT_EQ(head[0].rfind("CONNECT login.test:443 HTTP/1.", 0), 0u) << head[0];
        for (const std::string &line : head) {
            EXPECT_EQ(line.find("secret"), std::string::npos) << line;
            std::string name = line.substr(0, line.find(':'));
            for (char &c : name) {
                c = char(tolower(static_cast<unsigned char>(c)));
            }
            EXPECT_NE(name, "proxy-authorization") << "credentials offered: " << line;
        }
    }
    uint32_t code = WINE && row.why != nullptr ? row.wine_code : row.code;
    if (WINE && row.wine_race != 0 && lib.code(r) == row.wine_race) {
        code = row.wine_race;
    }
    bool text = WINE && row.why != nullptr ? row.wine_text : row.text;
    if (row.why != nullptr) {
        RecordProperty("differs", row.why);
    }
    EXPECT_EQ(lib.code(r), code);
    EXPECT_EQ(lib.text(r) != nullptr, text) << (lib.text(r) ? lib.text(r) : "(null)");
    if (code == 0) {
        EXPECT_EQ(lib.text(r), nullptr);
    }

    std::string expected_session = row.session != nullptr ? row.session : "";
    if (strcmp(row.scenario, "echo") == 0) {
        // The echo scenario names the session after the ID field the server
        // read: the body up to its first '&'.
        std::string id = row.body.substr(3, row.body.find('&') - 3);
        expected_session = "UA-" + id + ":session-" + id;
        ASSERT_NE(lib.session(r), nullptr);
        EXPECT_EQ(std::string(lib.session(r)), expected_session);
        EXPECT_EQ(std::string(lib.agent(r)), "UA-" + id);
    } else {
        bool wine_texts = WINE && row.wine_session != nullptr;
        const char *session = wine_texts ? row.wine_session : row.session;
        const char *agent = wine_texts ? row.wine_agent : row.agent;
        if (session != nullptr) {
            ASSERT_NE(lib.session(r), nullptr);
            EXPECT_EQ(std::string(lib.session(r)), session);
        } else {
            EXPECT_EQ(lib.session(r), nullptr);
        }
        if (agent != nullptr) {
            ASSERT_NE(lib.agent(r), nullptr);
            EXPECT_EQ(std::string(lib.agent(r)), agent);
        } else {
            EXPECT_EQ(lib.agent(r), nullptr);
        }
    }
    EXPECT_EQ(lib.release(r), 0);

    std::vector<Request> seen = requests_for(token);
    if (!row.request) {
        EXPECT_TRUE(seen.empty()) << "the server saw a request it should not have";
        return;
    }
    ASSERT_EQ(seen.size(), 1u) << "exactly one request";
    const Request &q = seen[0];
    EXPECT_EQ(q.method, "POST");
    EXPECT_EQ(q.path, path);
    EXPECT_EQ(q.body, row.body);
    EXPECT_TRUE(q.has_header("Host"));
    for (const std::string &h : q.headers) {
        // The transport's own headers and the one the library adds; Wine
        // adds a Cache-Control line of its own for uncached requests.
        bool allowed = h == "User-Agent: KESTA/1.00" || h == "X-Orv-UA: Kelpin/2.00" ||
                       h == "Content-Length: " + std::to_string(row.body.size()) ||
                       h.rfind("Host: login.test", 0) == 0 ||
                       (WINE && h == "Cache-Control: no-cache");
        EXPECT_TRUE(allowed) << "unexpected header " << h;
    }
    for (const char *name : {"User-Agent", "X-Orv-UA", "Content-Length"}) {
        EXPECT_TRUE(q.has_header(name)) << name;
    }
    EXPECT_FALSE(q.has_header("Content-Type"));
    EXPECT_FALSE(q.has_header("Cookie"));
}

INSTANTIATE_TEST_SUITE_P(Rows, Scenario, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             std::string name = std::to_string(info.index) + "_";
                             for (const char *c = info.param.name; *c != '\0'; c++) {
                                 name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

TEST(Library, VersionIsOnePointZero)
{
    ASSERT_EQ(library().problem, "");
    EXPECT_EQ(library().version(), 65536u);
}

TEST(Library, ALongReplyCountsOnlyItsFirst4096BytesEvenTenMegabytes)
{
    const Library &lib = library();
    ASSERT_EQ(lib.problem, "");
    for (const char *scenario : {"long", "exact-4096", "exact-4097", "flood"}) {
        SCOPED_TRACE(scenario);
        std::string path = std::string("/") + scenario + "/" + unique_token(scenario);
        LOGIN_RESULT *r = lib.login(nullptr, 0, "user", "secret", "login.test", path.c_str());
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(lib.code(r), 0u);
        ASSERT_NE(lib.session(r), nullptr);
        EXPECT_EQ(strlen(lib.session(r)), 4096u - 11) << "the value of the first 4096 bytes";
        std::string agent = lib.agent(r) != nullptr ? lib.agent(r) : "(null)";
        EXPECT_TRUE(agent == "LongUA" || agent == "ExactUA" || agent == "FloodUA") << agent;
        lib.release(r);
    }
}

TEST(Library, EightThreadsEachGetTheirOwnRecord)
{
    const Library &lib = library();
    ASSERT_EQ(lib.problem, "");
    const int THREADS = 8;
    const int EACH = 5;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([&lib, &wrong, t] {
            for (int i = 0; i < EACH; i++) {
                std::string id = "user" + std::to_string(t) + "x" + std::to_string(i);
                std::string path = "/echo/" + unique_token(id.c_str());
                LOGIN_RESULT *r =
                    lib.login(nullptr, 0, id.c_str(), "pw", "login.test", path.c_str());
                std::string expected = "UA-" + id + ":session-" + id;
                if (r == nullptr || lib.code(r) != 0 || lib.session(r) == nullptr ||
                    expected != lib.session(r) || "UA-" + id != lib.agent(r)) {
                    wrong++;
                }
                lib.release(r);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

#ifndef _WIN32
// What Wine cannot show: a silent TLS handshake holds its WinINet for good
// (no timeout reaches the socket before the handshake is done), there is no
// bound on a whole exchange, and it reads no proxy variables.

long exchange_timeout_ms()
{
    const char *value = getenv("KESTA_TEST_EXCHANGE_TIMEOUT_MS");
    return value != nullptr ? atol(value) : 180000;
}

TEST(NativeTimeouts, ASilentOrTricklingServerEndsTheLoginWithTheTimeoutError)
{
    const Library &lib = library();
    ASSERT_EQ(lib.problem, "");
    struct Case {
        const char *what;
        const char *server;
        const char *path;
        long (*limit_ms)();
    } cases[] = {
        {"accepts and never answers the handshake", "silent.test", "/ok/silent",
         receive_timeout_ms},
        // One piece a second, always inside the receive timeout: only the
        // ceiling on the whole exchange ends these.
        {"trickles header lines without end", "login.test", "/drip-headers/drip",
         exchange_timeout_ms},
        {"trickles the body a byte at a time", "login.test", "/drip-body/drip",
         exchange_timeout_ms},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto start = std::chrono::steady_clock::now();
        LOGIN_RESULT *r = lib.login(nullptr, 0, "user", "secret", c.server, c.path);
        long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count());
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(lib.code(r), 12002u);
        EXPECT_NE(lib.text(r), nullptr);
        EXPECT_EQ(lib.session(r), nullptr);
        EXPECT_GE(ms, c.limit_ms() - 100);
        EXPECT_LT(ms, c.limit_ms() + 5000) << "within the limit";
        lib.release(r);
    }
}

TEST(NativeEnvironment, ProxyVariablesAreIgnored)
{
    const Library &lib = library();
    ASSERT_EQ(lib.problem, "");
    // A proxy where nothing listens: neither login may go there.
    for (const char *name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"}) {
        setenv(name, "http://127.0.3.1:3999", 1);
    }
    LOGIN_RESULT *direct = lib.login(nullptr, 0, "user", "secret", "login.test", "/ok/envdirect");
    EXPECT_EQ(lib.code(direct), 0u) << "a direct login stays direct";
    lib.release(direct);

    LOGIN_RESULT *proxied =
        lib.login("proxy.test", 3128, "user", "secret", "login.test", "/ok/envproxy");
    EXPECT_EQ(lib.code(proxied), 0u) << "the given proxy, not the environment's";
    lib.release(proxied);

    // No proxy for anything: a login through a proxy still goes through it.
    setenv("no_proxy", "*", 1);
    setenv("NO_PROXY", "*", 1);
    LOGIN_RESULT *bypass =
        lib.login("proxy.test", 3999, "user", "secret", "login.test", "/ok/envbypass");
    EXPECT_EQ(lib.code(bypass), 12029u) << "no_proxy does not turn a proxy login direct";
    lib.release(bypass);

    for (const char *name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        unsetenv(name);
    }
}
#endif

} // namespace
