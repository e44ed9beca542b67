// The login call against scripted internet calls: what it passes to each
// call, in which order, what it closes after each failure, and how it reads.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

#include "fake_inet.h"
#include "fault_heap.h"
#include "kesta_internal.h"

namespace {

using Calls = std::vector<std::string>;

const std::string OPEN_DIRECT = "InternetOpenA(\"KESTA/1.00\", 1, null, null, 0)";
const std::string CONNECT =
    "InternetConnectA(session, \"login.test\", 443, null, null, 3, 0x800000, 0)";
const std::string OPEN_REQUEST =
    "HttpOpenRequestA(connection, \"POST\", \"/login\", null, null, null, 0x4a80200, 0)";
const std::string SEND =
    "HttpSendRequestA(request, \"X-Orv-UA: Kelpin/2.00\\r\\n\", 0xffffffff, body, 17)";
const std::string QUERY_RECEIVE = "InternetQueryOptionA(request, 6)";
const std::string QUERY_SEND = "InternetQueryOptionA(request, 5)";
const std::string QUERY_SECURITY = "InternetQueryOptionA(request, 31)";
const std::string READ_ALL = "InternetReadFile(request, 4096)";
const std::string CLOSE_REQUEST = "InternetCloseHandle(request)";
const std::string CLOSE_CONNECTION = "InternetCloseHandle(connection)";
const std::string CLOSE_SESSION = "InternetCloseHandle(session)";

std::string read_of(int size)
{
    return "InternetReadFile(request, " + std::to_string(size) + ")";
}

LOGIN_RESULT *login(const char *proxy_host = nullptr, int32_t proxy_port = 0)
{
    return _KESTA_LOGIN(proxy_host, proxy_port, "user", "secret", "login.test", "/login");
}

class Login : public ::testing::Test {
  protected:
    void SetUp() override { fault_heap::reset(); }
    void TearDown() override { EXPECT_EQ(fault_heap::live(), 0) << "leaked a block"; }
};

TEST_F(Login, SuccessCallsEachOperationOnceInOrderAndClosesNewestFirst)
{
    fake_inet::reset({nullptr, 1, 0, {"SESSION-ID=ua:rest\n"}});
    LOGIN_RESULT *r = login();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(
        fake_inet::calls(),
        (Calls{OPEN_DIRECT, CONNECT, OPEN_REQUEST, QUERY_RECEIVE, QUERY_SEND, SEND, QUERY_SECURITY,
               READ_ALL, read_of(4096 - 19), CLOSE_REQUEST, CLOSE_CONNECTION, CLOSE_SESSION}));
    EXPECT_EQ(fake_inet::body(), "ID=user&PW=secret");
    EXPECT_EQ(_KESTA_GETERRORCODE(r), 0u);
    EXPECT_EQ(_KESTA_GETERRORSTRING(r), nullptr);
    EXPECT_STREQ(_KESTA_GETSESSIONID(r), "ua:rest");
    EXPECT_STREQ(_KESTA_GETUSERAGENT(r), "ua");
    EXPECT_EQ(fault_heap::allocations(), 3) << "the record and its two texts, nothing else";
    _KESTA_RELEASE(r);
}

struct ProxyRow {
    const char *host;
    int32_t port;
    std::string open;
};

TEST_F(Login, ProxyHostChoosesTheAccessTypeAndAnEmptyBypassList)
{
    const ProxyRow rows[] = {
        {"proxy.test", 3128, "InternetOpenA(\"KESTA/1.00\", 3, \"proxy.test:3128\", \"\", 0)"},
        {"[::1]", 65535, "InternetOpenA(\"KESTA/1.00\", 3, \"[::1]:65535\", \"\", 0)"},
        {"", -1, OPEN_DIRECT},
        {nullptr, 99999, OPEN_DIRECT},
    };
    for (const ProxyRow &row : rows) {
        SCOPED_TRACE(row.open);
        fake_inet::reset({nullptr, 1, 0, {"SESSION-ID=ua:rest"}});
        _KESTA_RELEASE(login(row.host, row.port));
        ASSERT_FALSE(fake_inet::calls().empty());
        EXPECT_EQ(fake_inet::calls()[0], row.open);
    }
}

struct FailureRow {
    const char *operation;
    int nth; // which call of the operation fails
};

const FailureRow FAILURE_ROWS[] = {
    {"InternetOpenA", 1},
    {"InternetConnectA", 1},
    {"HttpOpenRequestA", 1},
    {"HttpSendRequestA", 1},
    {"InternetReadFile", 1},
    // A read that fails after one that gave bytes: nothing is parsed.
    {"InternetReadFile", 2},
};

bool starts(const std::string &call, const std::string &name)
{
    return call.rfind(name, 0) == 0;
}

// The calls of a login whose failure the row names: those of the same
// login without a failure up to the failing call, then the closes of the
// handles that were open by then, the newest first.
Calls calls_failing_at(const FailureRow &row)
{
    fake_inet::reset({nullptr, 1, 0, {"SESSION-ID=ua:rest"}});
    _KESTA_RELEASE(login());
    Calls calls;
    int seen = 0;
    for (const std::string &call : fake_inet::calls()) {
        if (starts(call, "InternetCloseHandle")) {
            break;
        }
        calls.push_back(call);
        if (starts(call, row.operation) && ++seen == row.nth) {
            break;
        }
    }
    const std::string opens[][2] = {{"HttpOpenRequestA", CLOSE_REQUEST},
                                    {"InternetConnectA", CLOSE_CONNECTION},
                                    {"InternetOpenA", CLOSE_SESSION}};
    for (const auto &handle : opens) {
        const std::string &open = handle[0];
        // The failing call itself opened nothing.
        if (std::any_of(calls.begin(), calls.end() - 1,
                        [&open](const std::string &call) { return starts(call, open); })) {
            calls.push_back(handle[1]);
        }
    }
    return calls;
}

TEST_F(Login, EachFailureRecordsItsCodeAndClosesExactlyWhatWasOpened)
{
    for (const FailureRow &row : FAILURE_ROWS) {
        for (DWORD code : {DWORD(12029), DWORD(12007), DWORD(99999)}) {
            SCOPED_TRACE(std::string(row.operation) + " call " + std::to_string(row.nth) +
                         " code " + std::to_string(code));
            Calls expected = calls_failing_at(row);
            fake_inet::reset({row.operation, row.nth, code, {"SESSION-ID=ua:rest"}});
            LOGIN_RESULT *r = login();
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(fake_inet::calls(), expected);
            EXPECT_EQ(_KESTA_GETERRORCODE(r), code);
            EXPECT_EQ(_KESTA_GETSESSIONID(r), nullptr);
            EXPECT_EQ(_KESTA_GETUSERAGENT(r), nullptr);
            EXPECT_EQ(_KESTA_GETERRORSTRING(r) != nullptr, code != 99999)
                << "a known code has its text, an unknown one none";
            _KESTA_RELEASE(r);
        }
    }
}

TEST_F(Login, AFailureWhoseLastErrorReadsZeroIsAnInternalError)
{
    for (const FailureRow &row : FAILURE_ROWS) {
        SCOPED_TRACE(row.operation);
        fake_inet::reset({row.operation, row.nth, 0, {"SESSION-ID=ua:rest"}});
        LOGIN_RESULT *r = login();
        EXPECT_EQ(_KESTA_GETERRORCODE(r), 12004u);
        EXPECT_NE(_KESTA_GETERRORSTRING(r), nullptr);
        _KESTA_RELEASE(r);
    }
}

struct ReadRow {
    const char *name;
    std::vector<std::string> pieces;
    Calls reads;
    const char *session;
    DWORD code;
};

const std::string LONG_VALUE = "ua:" + std::string(6000, 'x');
const std::string LONG_REPLY = "SESSION-ID=" + LONG_VALUE;

const ReadRow READ_ROWS[] = {
    {"one piece", {"SESSION-ID=ua:rest\n"}, {READ_ALL, read_of(4077)}, "ua:rest", 0},
    {"short reads are joined",
     {"SESSION-ID=u", "a:re", "st\n"},
     {READ_ALL, read_of(4084), read_of(4080), read_of(4077)},
     "ua:rest",
     0},
    {"a first piece of one byte",
     {"S", "ESSION-ID=ua:x"},
     {READ_ALL, read_of(4095), read_of(4081)},
     "ua:x",
     0},
    {"an empty reply", {}, {READ_ALL}, nullptr, 13},
    {"a long reply is cut at 4096 bytes", {LONG_REPLY}, {READ_ALL}, nullptr, 0},
    {"a long reply in pieces stops at 4096 bytes",
     {LONG_REPLY.substr(0, 4000), LONG_REPLY.substr(4000)},
     {READ_ALL, read_of(96)},
     nullptr,
     0},
};

TEST_F(Login, ReadsUntilTheBufferIsFullOrAReadGivesNothing)
{
    for (const ReadRow &row : READ_ROWS) {
        SCOPED_TRACE(row.name);
        fake_inet::reset({nullptr, 1, 0, row.pieces});
        LOGIN_RESULT *r = login();
        Calls reads;
        for (const std::string &call : fake_inet::calls()) {
            if (call.rfind("InternetReadFile", 0) == 0) {
                reads.push_back(call);
            }
        }
        EXPECT_EQ(reads, row.reads);
        EXPECT_EQ(_KESTA_GETERRORCODE(r), row.code);
        if (row.session != nullptr) {
            EXPECT_STREQ(_KESTA_GETSESSIONID(r), row.session);
        } else if (row.code == 0) {
            // Cut replies: the value is the first 4096 - 11 bytes.
            EXPECT_EQ(std::string(_KESTA_GETSESSIONID(r)), LONG_VALUE.substr(0, 4085));
            EXPECT_STREQ(_KESTA_GETUSERAGENT(r), "ua");
        }
        _KESTA_RELEASE(r);
    }
}

struct TimeoutRow {
    const char *name;
    DWORD request;
    bool request_refuses;
    DWORD connection;
    Calls between; // the calls between opening the request and sending it
};

const std::string QUERY_CONNECTION_RECEIVE = "InternetQueryOptionA(connection, 6)";
const std::string QUERY_CONNECTION_SEND = "InternetQueryOptionA(connection, 5)";
const std::string SET_RECEIVE =
    "InternetSetOptionA(request, 6, " + std::to_string(KESTA_RECEIVE_TIMEOUT_MS) + ")";
const std::string SET_SEND =
    "InternetSetOptionA(request, 5, " + std::to_string(KESTA_RECEIVE_TIMEOUT_MS) + ")";

TEST_F(Login, AnInfiniteSendOrReceiveTimeoutBecomesThirtySecondsAndAFiniteOneStays)
{
    const TimeoutRow rows[] = {
        {"the request's own finite timeouts", 30000, false, 0, {QUERY_RECEIVE, QUERY_SEND}},
        {"a short one stays short", 500, false, 0, {QUERY_RECEIVE, QUERY_SEND}},
        {"none on the request", 0, false, 0, {QUERY_RECEIVE, SET_RECEIVE, QUERY_SEND, SET_SEND}},
        {"infinite on the request",
         DWORD(-1),
         false,
         0,
         {QUERY_RECEIVE, SET_RECEIVE, QUERY_SEND, SET_SEND}},
        {"the request refuses and the connection has none, as under Wine",
         0,
         true,
         0,
         {QUERY_RECEIVE, QUERY_CONNECTION_RECEIVE, SET_RECEIVE, QUERY_SEND, QUERY_CONNECTION_SEND,
          SET_SEND}},
        {"the request refuses and the connection has its own",
         0,
         true,
         60000,
         {QUERY_RECEIVE, QUERY_CONNECTION_RECEIVE, QUERY_SEND, QUERY_CONNECTION_SEND}},
    };
    for (const TimeoutRow &row : rows) {
        SCOPED_TRACE(row.name);
        fake_inet::Script script{nullptr, 1, 0, {"SESSION-ID=ua:rest"}};
        script.request_timeout = row.request;
        script.request_refuses = row.request_refuses;
        script.connection_timeout = row.connection;
        fake_inet::reset(script);
        LOGIN_RESULT *r = login();
        EXPECT_EQ(_KESTA_GETERRORCODE(r), 0u);
        const Calls &calls = fake_inet::calls();
        ASSERT_GE(calls.size(), 3u + row.between.size());
        EXPECT_EQ(Calls(calls.begin() + 3, calls.begin() + 3 + long(row.between.size())),
                  row.between);
        EXPECT_EQ(calls[3 + row.between.size()], SEND);
        _KESTA_RELEASE(r);
    }
}

struct TunnelRow {
    const char *name;
    DWORD flags;
    std::vector<std::string> pieces;
    DWORD code;
    const char *session;
};

TEST_F(Login, AReplyThatDidNotComeOverTlsIsNeverParsed)
{
    const TunnelRow rows[] = {
        {"a proxy's answer that looks like a login",
         0,
         {"SESSION-ID=forged:by-the-proxy\n"},
         12029,
         nullptr},
        {"a proxy's error page", 0, {"<html>502 Bad Gateway</html>"}, 12029, nullptr},
        {"strength bits without the secure flag",
         0x20000000,
         {"SESSION-ID=ua:rest"},
         12029,
         nullptr},
        // WinINet lets the connection of a finished empty reply go before
        // the flags are asked, which clears them: still only an empty reply.
        {"an empty reply", 0, {}, 13, nullptr},
        {"a reply over TLS", 0x20000001, {"SESSION-ID=ua:rest"}, 0, "ua:rest"},
    };
    for (const TunnelRow &row : rows) {
        SCOPED_TRACE(row.name);
        fake_inet::Script script{nullptr, 1, 0, row.pieces};
        script.security_flags = row.flags;
        fake_inet::reset(script);
        LOGIN_RESULT *r = login("proxy.test", 3128);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(_KESTA_GETERRORCODE(r), row.code);
        EXPECT_NE(_KESTA_GETERRORSTRING(r) == nullptr, row.code != 0);
        if (row.session != nullptr) {
            EXPECT_STREQ(_KESTA_GETSESSIONID(r), row.session);
        } else {
            EXPECT_EQ(_KESTA_GETSESSIONID(r), nullptr);
            EXPECT_EQ(_KESTA_GETUSERAGENT(r), nullptr);
        }
        EXPECT_EQ(fake_inet::calls().back(), CLOSE_SESSION);
        _KESTA_RELEASE(r);
    }
}

struct InputRow {
    const char *name;
    const char *proxy_host;
    int32_t proxy_port;
    const char *server;
    const char *path;
    bool refused;
};

const std::string CUT_HIDES = std::string(240, 'p') + "@evil.test";
const std::string LONG_NAME = std::string(300, 'p');

const InputRow INPUT_ROWS[] = {
    // A row that breaks several rules has others that break each alone, so
    // that no check hides behind another.
    {"user info in the server", nullptr, 0, "user:pw@login.test", "/login", true},
    {"a user name in the server", nullptr, 0, "user@login.test", "/login", true},
    {"a path in the server", nullptr, 0, "login.test/x", "/login", true},
    {"a port in the server", nullptr, 0, "login.test:8443", "/login", true},
    {"a query in the server", nullptr, 0, "login.test?x", "/login", true},
    {"a fragment in the server", nullptr, 0, "login.test#x", "/login", true},
    {"an escape in the server", nullptr, 0, "login%2Etest", "/login", true},
    {"a backslash in the server", nullptr, 0, "login.test\\x", "/login", true},
    {"a space in the server", nullptr, 0, "login.test other.test", "/login", true},
    {"a CR LF in the server", nullptr, 0, "login.test\r\nX-Injected: 1", "/login", true},
    {"a CR LF alone in the server", nullptr, 0, "login.test\r\nother.test", "/login", true},
    {"a tab in the server", nullptr, 0, "login\t.test", "/login", true},
    {"a DEL in the server", nullptr, 0, "login\x7f.test", "/login", true},
    {"an IPv6 literal as the server", nullptr, 0, "[::1]", "/login", true},
    {"an empty server", nullptr, 0, "", "/login", true},
    {"a null server", nullptr, 0, nullptr, "/login", true},
    {"a CR LF and a header in the path", nullptr, 0, "login.test", "/login\r\nX-Injected: 1", true},
    {"a second Host in the path", nullptr, 0, "login.test", "/login\r\nHost: other.test", true},
    {"a tab in the path", nullptr, 0, "login.test", "/log\tin", true},
    {"a DEL in the path", nullptr, 0, "login.test", "/log\x7fin", true},
    {"proxy port -1", "proxy.test", -1, "login.test", "/login", true},
    {"proxy port 0", "proxy.test", 0, "login.test", "/login", true},
    {"proxy port 65536", "proxy.test", 65536, "login.test", "/login", true},
    {"proxy port 99999", "proxy.test", 99999, "login.test", "/login", true},
    {"a list of two proxies", "127.0.0.1 127.0.0.9", 3128, "login.test", "/login", true},
    {"a path after the proxy", "127.0.0.1/x", 3128, "login.test", "/login", true},
    {"a proxy per scheme", "https=127.0.0.1", 3128, "login.test", "/login", true},
    {"proxies by semicolon", "a.test;b.test", 3128, "login.test", "/login", true},
    {"proxies by comma", "a.test,b.test", 3128, "login.test", "/login", true},
    {"user info in the proxy", "user:pw@127.0.0.1", 3128, "login.test", "/login", true},
    {"a user name in the proxy", "user@127.0.0.1", 3128, "login.test", "/login", true},
    {"a backslash in the proxy", "127.0.0.1\\x", 3128, "login.test", "/login", true},
    {"a SOCKS proxy URL", "socks5://127.0.0.1", 3128, "login.test", "/login", true},
    {"an https proxy URL", "https://127.0.0.1", 3128, "login.test", "/login", true},
    {"a port inside the proxy host", "proxy.test:8080", 3128, "login.test", "/login", true},
    {"a control byte in the proxy", "proxy.test\t", 3128, "login.test", "/login", true},
    {"an unclosed IPv6 proxy", "[::1", 3128, "login.test", "/login", true},
    {"an IPv6 proxy with letters beyond hex", "[::g]", 3128, "login.test", "/login", true},

    {"a host name in the ANSI code page", nullptr, 0, "\x83\x65\x83\x58.test", "/login", false},
    {"a space in the path", nullptr, 0, "login.test", "/log in", false},
    {"bytes above 0x7F in the path", nullptr, 0, "login.test", "/\x83\x65", false},
    {"a null path", nullptr, 0, "login.test", nullptr, false},
    {"an IPv4 proxy at the top port", "127.0.0.1", 65535, "login.test", "/login", false},
    {"a bracketed IPv6 proxy", "[::1]", 1, "login.test", "/login", false},
    {"what the 240-byte cut drops is not looked at", CUT_HIDES.c_str(), 3128, "login.test",
     "/login", false},
    {"a 300-byte proxy name, cut", LONG_NAME.c_str(), 3128, "login.test", "/login", false},
    {"no proxy: the port is not looked at", "", -1, "login.test", "/login", false},
};

TEST_F(Login, InputThatCouldMoveTheLoginIsRefusedBeforeAnyInternetCall)
{
    for (const InputRow &row : INPUT_ROWS) {
        SCOPED_TRACE(row.name);
        fake_inet::reset({nullptr, 1, 0, {"SESSION-ID=ua:rest"}});
        LOGIN_RESULT *r =
            _KESTA_LOGIN(row.proxy_host, row.proxy_port, "user", "secret", row.server, row.path);
        ASSERT_NE(r, nullptr);
        if (row.refused) {
            EXPECT_EQ(_KESTA_GETERRORCODE(r), 87u);
            EXPECT_NE(_KESTA_GETERRORSTRING(r), nullptr);
            EXPECT_EQ(_KESTA_GETSESSIONID(r), nullptr);
            EXPECT_TRUE(fake_inet::calls().empty()) << fake_inet::calls()[0];
        } else {
            EXPECT_EQ(_KESTA_GETERRORCODE(r), 0u);
            EXPECT_FALSE(fake_inet::calls().empty());
        }
        _KESTA_RELEASE(r);
    }
}

TEST_F(Login, NoRecordMeansNullAndNoInternetCall)
{
    fake_inet::reset({nullptr, 1, 0, {"SESSION-ID=ua:rest"}});
    fault_heap::reset(1);
    EXPECT_EQ(login(), nullptr);
    EXPECT_TRUE(fake_inet::calls().empty());
}

struct CopyFailureRow {
    int fail_at; // 1 is the record, 2 the session text, 3 the user agent
    int count;
    bool session;
    bool agent;
};

TEST_F(Login, CopyFailuresInTheParseRecordNotEnoughMemory)
{
    const CopyFailureRow rows[] = {{2, 1, false, true}, {3, 1, true, false}, {2, 2, false, false}};
    for (const CopyFailureRow &row : rows) {
        SCOPED_TRACE(row.fail_at * 10 + row.count);
        fake_inet::reset({nullptr, 1, 0, {"SESSION-ID=ua:rest"}});
        fault_heap::reset(row.fail_at, row.count);
        LOGIN_RESULT *r = login();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(_KESTA_GETERRORCODE(r), 8u);
        EXPECT_EQ(_KESTA_GETERRORSTRING(r), kesta::MEMORY_MESSAGE);
        EXPECT_EQ(_KESTA_GETSESSIONID(r) != nullptr, row.session);
        EXPECT_EQ(_KESTA_GETUSERAGENT(r) != nullptr, row.agent);
        EXPECT_EQ(fake_inet::calls().back(), CLOSE_SESSION);
        _KESTA_RELEASE(r);
    }
}

// The stand-in transport remembers every byte it was handed or handed out,
// and looks at them again at the last close, which the login calls before it
// returns: the frame that holds them is still live there.
TEST_F(Login, NeitherPasswordNorProxyAddressNorReplyOutlivesTheCall)
{
    struct Row {
        const char *name;
        fake_inet::Script script;
    };
    const Row rows[] = {
        {"a login that succeeds", {nullptr, 1, 0, {"SESSION-ID=ua:rest\n"}}},
        // A reply to the buffer's last byte: a wipe shorter than the buffer
        // leaves some of it.
        {"a reply that fills the buffer",
         {nullptr, 1, 0, {"SESSION-ID=ua:" + std::string(5000, 'r')}}},
        {"a send that fails", {"HttpSendRequestA", 1, 12002, {}}},
        {"a read that fails after the first piece",
         {"InternetReadFile", 2, 12030, {"SESSION-ID=ua:", "part"}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fake_inet::reset(row.script);
        _KESTA_RELEASE(
            _KESTA_LOGIN("proxy.secret.test", 3128, "user", "pa55word", "login.test", "/login"));
        // The transport was handed both secrets, and closed what it opened.
        ASSERT_NE(fake_inet::proxy_address(), nullptr);
        EXPECT_EQ(fake_inet::body(), "ID=user&PW=pa55word");
        ASSERT_EQ(fake_inet::calls().back(), CLOSE_SESSION);
        EXPECT_EQ(fake_inet::left_at_last_close(), "");
    }
}

} // namespace
