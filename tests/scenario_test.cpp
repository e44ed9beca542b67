// The whole login through the built library, loaded the way a host program
// loads it, against the test network's real servers and proxies: one row of
// tests/scenarios.rows each, for both targets. Where Wine's WinINet answers
// differently from the Linux library (and from WinINet on Windows), the row
// says so and why.
#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kesta.h"
#include "scenarios.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <wininet.h>
#else
#include <dlfcn.h>
#include <locale.h>
#include <unistd.h>
#endif

namespace {

using scenarios::Row;
using scenarios::WINE;

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
#ifndef _WIN32
    // A host program in a UTF-8 locale, as Linux programs are.
    setlocale(LC_CTYPE, "C.UTF-8");
#endif
    static const Library lib = load();
    return lib;
}

// A server name of the rows file (UTF-8) as a host program holds it: in its
// ANSI code page on Windows, in its locale's UTF-8 on Linux.
std::string host_text(const std::string &utf8)
{
#ifdef _WIN32
    wchar_t wide[256];
    char ansi[512];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, wide, 256);
    if (n > 0 &&
        WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, nullptr) > 0) {
        return ansi;
    }
#endif
    return utf8;
}

// The short-timeout Linux library runs the rows that wait for its timeouts,
// and only those; the real one all the others.
bool short_timeouts()
{
    const char *value = getenv("KESTA_TEST_TIMEOUTS");
    return value != nullptr && strcmp(value, "short") == 0;
}

// The timeouts of the library under test, as the build gives them to it:
// to connect, without data, for the whole exchange.
long timeout_ms(const std::string &waits)
{
    const long normal[] = {KESTA_TIMEOUTS_MS};
    const long short_ones[] = {KESTA_SHORT_TIMEOUTS_MS};
    const long *timeouts = short_timeouts() ? short_ones : normal;
    return waits == "connect" ? timeouts[0] : waits == "exchange" ? timeouts[2] : timeouts[1];
}

class Scenario : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override { ASSERT_EQ(library().problem, ""); }
};

TEST_P(Scenario, GivesTheRecordAndTheRequestOfItsRow)
{
    const Library &lib = library();
    const Row &row = GetParam();
    if (WINE && row.wine_skip) {
        GTEST_SKIP() << row.why;
    }
    if (row.short_timeouts != short_timeouts()) {
        GTEST_SKIP() << (row.short_timeouts ? "for the short-timeout library"
                                            : "for the library's own timeouts");
    }
    if (!row.why.empty() && row.wine_record.code != row.native_record.code) {
        RecordProperty("differs", row.why);
    }
    std::string token = scenarios::unique_token(row.name);
    std::string path = "/" + row.scenario + "/" + token + row.tail;
    const char *proxy = row.proxy_host ? row.proxy_host->c_str() : nullptr;
    const char *id = row.id ? row.id->c_str() : nullptr;
    const char *password = row.password ? row.password->c_str() : nullptr;

    long opens_before = scenarios::active_opens();
    size_t proxy_heads_before =
        row.proxy_seen.empty() ? 0 : scenarios::proxy_heads(row.proxy_seen).size();
    ASSERT_GE(opens_before, 0) << "cannot read the connection count";
    auto start = std::chrono::steady_clock::now();
    std::string server = host_text(row.server);
    LOGIN_RESULT *r = lib.login(proxy, row.proxy_port, id, password, server.c_str(), path.c_str());
    long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(
        scenarios::mismatch(row.expected(), lib.code(r), lib.text(r), lib.session(r), lib.agent(r)),
        "");
    EXPECT_EQ(lib.release(r), 0);

    if (!row.connects) {
        EXPECT_EQ(scenarios::active_opens(), opens_before) << "a connection was opened";
    }
    if (!row.waits.empty()) {
        long limit = timeout_ms(row.waits);
        EXPECT_GE(ms, limit - 100);
        EXPECT_LT(ms, limit + 5000) << "within the " << row.waits << " timeout";
    }
    if (!row.proxy_seen.empty()) {
        std::vector<std::vector<std::string>> heads = scenarios::proxy_heads(row.proxy_seen);
        ASSERT_EQ(heads.size(), proxy_heads_before + 1) << "the proxy saw no request of this login";
        const std::vector<std::string> &head = heads.back();
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

    std::vector<scenarios::Request> seen = scenarios::requests_for(token);
    if (!row.seen_here()) {
        EXPECT_TRUE(seen.empty()) << "the server saw a request it should not have";
        return;
    }
    ASSERT_EQ(seen.size(), 1u) << "exactly one request";
    const scenarios::Request &q = seen[0];
    EXPECT_EQ(q.method, "POST");
    EXPECT_EQ(q.path, path);
    EXPECT_EQ(q.body, row.body);
    EXPECT_TRUE(q.has_header("Host"));
    for (const std::string &h : q.headers) {
        // The transport's own headers and the one the library adds; Wine
        // adds a Cache-Control line of its own for uncached requests.
        bool allowed = h == "User-Agent: KESTA/1.00" || h == "X-Orv-UA: Kelpin/2.00" ||
                       h == "Content-Length: " + std::to_string(row.body.size()) ||
                       h.rfind("Host: " + (row.host.empty() ? row.server : row.host), 0) == 0 ||
                       (WINE && h == "Cache-Control: no-cache");
        EXPECT_TRUE(allowed) << "unexpected header " << h;
    }
    for (const char *name : {"User-Agent", "X-Orv-UA", "Content-Length"}) {
        EXPECT_TRUE(q.has_header(name)) << name;
    }
    EXPECT_FALSE(q.has_header("Content-Type"));
    EXPECT_FALSE(q.has_header("Cookie"));
}

INSTANTIATE_TEST_SUITE_P(Rows, Scenario, ::testing::ValuesIn(scenarios::rows()),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             std::string name = std::to_string(info.index) + "_";
                             for (char c : info.param.name) {
                                 name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(Rows, AreReadWhole)
{
    EXPECT_GT(scenarios::rows().size(), 50u);
}

// Logins one after another to a server that keeps its connection open and
// sets a cookie: none sends a cookie or resumes an earlier one's TLS
// session, and on Linux each opens a connection of its own (WinINet may
// keep a connection for the next request to the same server, as Windows
// does; that is the platform's).
TEST(Library, NothingOfOneLoginGoesWithTheNext)
{
    const Library &lib = library();
    ASSERT_EQ(lib.problem, "");
    std::string token = scenarios::unique_token("fresh");
    [[maybe_unused]] long opens = scenarios::active_opens();
    const int LOGINS = 3;
    for (int i = 0; i < LOGINS; i++) {
        LOGIN_RESULT *r =
            lib.login(nullptr, 0, "user", "secret", "login.test", ("/keep-open/" + token).c_str());
        EXPECT_EQ(lib.code(r), 0u);
        lib.release(r);
    }
    std::vector<scenarios::Request> seen = scenarios::requests_for(token);
    ASSERT_EQ(seen.size(), size_t(LOGINS));
    for (int i = 0; i < LOGINS; i++) {
        EXPECT_FALSE(seen[i].resumed) << "login " << i << " resumed an earlier TLS session";
        EXPECT_FALSE(seen[i].has_header("Cookie")) << "an earlier login's cookie went with " << i;
    }
#ifndef _WIN32
    EXPECT_EQ(scenarios::active_opens() - opens, LOGINS) << "one connection per login";
#endif
}

#ifdef _WIN32
// The URLs that WinINet's cache holds an entry for.
std::vector<std::string> cached_urls()
{
    std::vector<std::string> urls;
    alignas(INTERNET_CACHE_ENTRY_INFOA) char buffer[8192];
    auto *entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOA *>(buffer);
    DWORD size = sizeof buffer;
    HANDLE find = FindFirstUrlCacheEntryA(nullptr, entry, &size);
    bool more = find != nullptr;
    while (more) {
        urls.push_back(entry->lpszSourceUrlName != nullptr ? entry->lpszSourceUrlName : "");
        size = sizeof buffer;
        more = FindNextUrlCacheEntryA(find, entry, &size);
    }
    // An empty cache or its end; anything else would hide entries.
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_ITEMS && error != ERROR_FILE_NOT_FOUND) {
        ADD_FAILURE() << "the cache could not be read: " << error;
    }
    if (find != nullptr) {
        FindCloseUrlCache(find);
    }
    return urls;
}

// A reply holds the session: WinINet would keep it in the user's cache,
// where any program of the user's could read it back.
TEST(Library, NoReplyIsCached)
{
    const Library &lib = library();
    ASSERT_EQ(lib.problem, "");
    std::string token = scenarios::unique_token("cache");
    LOGIN_RESULT *r =
        lib.login(nullptr, 0, "user", "secret", "login.test", ("/ok/" + token).c_str());
    EXPECT_EQ(lib.code(r), 0u);
    lib.release(r);
    for (const std::string &url : cached_urls()) {
        EXPECT_EQ(url.find(token), std::string::npos) << "cached: " << url;
    }
}
#endif

// One login of a table, and the code it must record.
struct Attempt {
    const char *proxy;
    unsigned short port;
    const char *server;
    const char *path;
    unsigned long code;
    const char *why;
};

// The host's standard output and error are its own: a login that succeeds,
// one refused by its certificate and one through a proxy that cannot reach
// the server write nothing to either (a transport left talkative would put
// the request, headers and all, on the host's console).
TEST(Library, NothingIsWrittenToTheStandardStreams)
{
    const Library &lib = library();
    ASSERT_EQ(lib.problem, "");
    const Attempt rows[] = {
        {nullptr, 0, "login.test", "/ok/quiet", 0, "a success"},
        {nullptr, 0, "untrusted.test", "/ok/quiet", WINE ? 12057ul : 12045ul, "an unknown CA"},
        {"proxy.test", 3999, "login.test", "/ok/quiet", 12029, "a proxy that is not there"},
    };
    FILE *capture = tmpfile();
    ASSERT_NE(capture, nullptr);
    fflush(stdout);
    fflush(stderr);
    int saved[2] = {dup(1), dup(2)};
    dup2(fileno(capture), 1);
    dup2(fileno(capture), 2);
    unsigned long codes[std::size(rows)];
    for (size_t i = 0; i < std::size(rows); i++) {
        LOGIN_RESULT *r =
            lib.login(rows[i].proxy, rows[i].port, "user", "secret", rows[i].server, rows[i].path);
        codes[i] = lib.code(r);
        lib.release(r);
    }
    fflush(stdout);
    fflush(stderr);
    long written = lseek(fileno(capture), 0, SEEK_END);
    for (int fd = 1; fd <= 2; fd++) {
        dup2(saved[fd - 1], fd);
        close(saved[fd - 1]);
    }
    fclose(capture);
    for (size_t i = 0; i < std::size(rows); i++) {
        EXPECT_EQ(codes[i], rows[i].code) << rows[i].why;
    }
    EXPECT_EQ(written, 0) << "bytes written to stdout or stderr during the logins";
}

#ifndef _WIN32
// What Wine cannot show: it reads no proxy variables.
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

// A process that starts with every variable that could name another trust
// store, another proxy or a file for the TLS keys (tests/environment_test.sh
// sets them, pointing at the untrusted CA and at proxies where nothing
// listens): the logins go as in a clean environment and no key is written.
TEST(NativeEnvironment, AnEnvironmentSetBeforeTheFirstLoginChangesNothing)
{
    const char *keys = getenv("SSLKEYLOGFILE");
    if (keys == nullptr) {
        GTEST_SKIP() << "runs as scenarios_environment, whose variables are set before the "
                        "process starts";
    }
    const Library &lib = library();
    ASSERT_EQ(lib.problem, "");
    const Attempt rows[] = {
        {nullptr, 0, "login.test", "/ok/env-first", 0, "the system's store, direct"},
        {nullptr, 0, "untrusted.test", "/ok/env-rogue", 12045, "the environment's CA is no root"},
        {"proxy.test", 3128, "login.test", "/ok/env-proxy", 0, "the given proxy"},
        {"proxy.test", 3999, "login.test", "/ok/env-noproxy", 12029, "no_proxy is not read"},
    };
    for (const auto &row : rows) {
        LOGIN_RESULT *r = lib.login(row.proxy, row.port, "user", "secret", row.server, row.path);
        EXPECT_EQ(lib.code(r), row.code) << row.why << ": " << row.server << row.path;
        lib.release(r);
    }
    FILE *log = fopen(keys, "rb");
    long size = 0;
    if (log != nullptr) {
        fseek(log, 0, SEEK_END);
        size = ftell(log);
        fclose(log);
    }
    EXPECT_EQ(size, 0) << "TLS secrets were written to " << keys;
}
#endif

} // namespace
