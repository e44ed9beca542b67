// The login message: the body and proxy text composed, and the reply parsed.
#include <gtest/gtest.h>

#include <string.h>

#include <optional>
#include <string>

#include "fault_heap.h"
#include "exchange.h"
#include "kesta_internal.h"

using namespace kesta;

namespace {

using Text = std::optional<std::string>;
const Text NONE = std::nullopt;

const std::string A240(240, 'a');
const std::string A300(300, 'a');

struct ParseRow {
    const char *name;
    std::string reply;
    int fail_at; // the allocation that fails: 1 session, 2 user agent
    int fail_count;
    Text session; // all bytes of the copy, NULs included
    Text agent;
    DWORD code;
};

const ParseRow PARSE_ROWS[] = {
    {"value with colon and final LF", "SESSION-ID=ua:rest\n", 0, 0, "ua:rest", "ua", 0},
    {"value with colon, no final LF", "SESSION-ID=ua:rest", 0, 0, "ua:rest", "ua", 0},
    {"CR LF keeps the CR", "SESSION-ID=ua:rest\r\n", 0, 0, "ua:rest\r", "ua", 0},
    {"two colons: agent ends at the first", "SESSION-ID=ua:x:y", 0, 0, "ua:x:y", "ua", 0},
    {"leading colon: empty agent", "SESSION-ID=:rest", 0, 0, ":rest", "", 0},
    {"colon only", "SESSION-ID=:", 0, 0, ":", "", 0},
    {"only the last LF is dropped", "SESSION-ID=ua:x\n\n", 0, 0, "ua:x\n", "ua", 0},
    {"LF inside the value stays", "SESSION-ID=ua\n:x", 0, 0, "ua\n:x", "ua\n", 0},
    {"the exact prefix", "SESSION-ID=", 0, 0, "", NONE, 13},
    {"prefix and LF", "SESSION-ID=\n", 0, 0, "", NONE, 13},
    {"value without colon", "SESSION-ID=abc", 0, 0, "abc", NONE, 13},
    {"NUL before the colon", std::string("SESSION-ID=ab\0c:d", 17), 0, 0, std::string("ab\0c:d", 6),
     NONE, 13},
    {"NUL after the colon", std::string("SESSION-ID=ab:c\0d", 17), 0, 0, std::string("ab:c\0d", 6),
     "ab", 0},
    {"lower-case prefix", "session-id=ua:rest", 0, 0, NONE, NONE, 13},
    {"one byte of the prefix differs", "SESSION_ID=ua:rest", 0, 0, NONE, NONE, 13},
    {"ten bytes", "SESSION-ID", 0, 0, NONE, NONE, 13},
    {"one byte", "S", 0, 0, NONE, NONE, 13},
    {"nothing", "", 0, 0, NONE, NONE, 13},
    {"an error page", "<html><body>500</body></html>", 0, 0, NONE, NONE, 13},
    {"prefix not at the start", " SESSION-ID=ua:rest", 0, 0, NONE, NONE, 13},
    {"no colon, value copy fails", "SESSION-ID=abc", 1, 1, NONE, NONE, 13},
    {"value copy fails", "SESSION-ID=ua:rest", 1, 1, NONE, "ua", 8},
    {"agent copy fails", "SESSION-ID=ua:rest", 2, 1, "ua:rest", NONE, 8},
    {"both copies fail", "SESSION-ID=ua:rest", 1, 2, NONE, NONE, 8},
};

void PrintTo(const ParseRow &row, std::ostream *out)
{
    *out << row.name;
}

std::string bytes_of(const char *text, const Text &expected)
{
    // The copy holds as many bytes as expected, then its NUL.
    return std::string(text, expected->size());
}

class Parse : public ::testing::TestWithParam<ParseRow> {};

TEST_P(Parse, GivesTheDocumentedRecord)
{
    const ParseRow &row = GetParam();
    LOGIN_RESULT *r = static_cast<LOGIN_RESULT *>(LocalAlloc(LPTR, sizeof(LOGIN_RESULT)));
    fault_heap::reset(row.fail_at, row.fail_count); // counts from the parse's first copy
    // The reply sits in a buffer of exactly its size: nothing past it is read.
    std::string reply = row.reply;
    parse_reply(r, reply.data(), DWORD(reply.size()));

    EXPECT_EQ(r->error_code, row.code);
    if (row.session) {
        ASSERT_NE(r->session_id, nullptr);
        EXPECT_EQ(bytes_of(r->session_id, row.session), *row.session);
        EXPECT_EQ(r->session_id[row.session->size()], '\0');
    } else {
        EXPECT_EQ(r->session_id, nullptr);
    }
    if (row.agent) {
        ASSERT_NE(r->user_agent, nullptr);
        EXPECT_EQ(std::string(r->user_agent), *row.agent);
    } else {
        EXPECT_EQ(r->user_agent, nullptr);
    }
    if (row.code == 0) {
        EXPECT_EQ(r->error_string, nullptr);
    } else if (row.code == ERROR_NOT_ENOUGH_MEMORY) {
        EXPECT_EQ(r->error_string, MEMORY_MESSAGE);
    } else {
        EXPECT_NE(r->error_string, nullptr);
    }
    _KESTA_RELEASE(r);
    EXPECT_EQ(fault_heap::live(), 0);
}

INSTANTIATE_TEST_SUITE_P(Replies, Parse, ::testing::ValuesIn(PARSE_ROWS),
                         [](const ::testing::TestParamInfo<ParseRow> &info) {
                             std::string name = info.param.name;
                             for (char &c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

TEST(ParseLength, OnlyTheBytesGivenAreLookedAt)
{
    // A reply cut by the read: what follows the count is never seen.
    const char buffer[] = "SESSION-ID=ua:rest-of-a-longer-reply";
    LOGIN_RESULT *r = static_cast<LOGIN_RESULT *>(LocalAlloc(LPTR, sizeof(LOGIN_RESULT)));
    parse_reply(r, buffer, 18);
    EXPECT_EQ(r->error_code, 0u);
    EXPECT_STREQ(r->session_id, "ua:rest");
    _KESTA_RELEASE(r);
}

struct BodyRow {
    const char *name;
    const char *id;
    const char *password;
    std::string body;
};

const std::string SJIS_ID = std::string(239, 'a') + "\x82\xA0";

const BodyRow BODY_ROWS[] = {
    {"plain", "user", "secret", "ID=user&PW=secret"},
    {"empty", "", "", "ID=&PW="},
    {"reserved bytes go unescaped", "a&b=c", "%20 x+y", "ID=a&b=c&PW=%20 x+y"},
    {"300-byte ID cut at 240", A300.c_str(), "p", "ID=" + A240 + "&PW=p"},
    {"300-byte password cut at 240", "u", A300.c_str(), "ID=u&PW=" + A240},
    {"a double-byte character loses its second byte", SJIS_ID.c_str(), "p",
     "ID=" + std::string(239, 'a') + "\x82" + "&PW=p"},
    {"null ID", nullptr, "p", "ID=(null)&PW=p"},
    {"null password", "u", nullptr, "ID=u&PW=(null)"},
    {"both null", nullptr, nullptr, "ID=(null)&PW=(null)"},
    {"both at the limit", A300.c_str(), A300.c_str(), "ID=" + A240 + "&PW=" + A240},
};

TEST(Body, IsTheCallersBytesCutAt240)
{
    for (const BodyRow &row : BODY_ROWS) {
        SCOPED_TRACE(row.name);
        char buffer[BUFFER_SIZE];
        memset(buffer, 'x', sizeof buffer);
        DWORD n = compose_body(buffer, sizeof buffer, row.id, row.password);
        EXPECT_EQ(std::string(buffer, n), row.body);
        EXPECT_EQ(buffer[n], '\0');
        EXPECT_LE(n, 487u);
    }
}

TEST(Header, IsTheOneProductLine)
{
    EXPECT_STREQ(HEADER_LINE, "X-Orv-UA: Kelpin/2.00\r\n");
    EXPECT_EQ(std::string(REPLY_PREFIX), "SESSION-ID=");
}

struct ProxyRow {
    const char *host;
    int32_t port;
    std::string text;
};

const ProxyRow PROXY_ROWS[] = {
    {"proxy.test", 3128, "proxy.test:3128"},
    {"proxy.test", 0, "proxy.test:0"},
    {"proxy.test", -1, "proxy.test:-1"},
    {"p", INT32_MIN, "p:-2147483648"},
    {"p", INT32_MAX, "p:2147483647"},
    {A300.c_str(), 8080, A240 + ":8080"},
    {A300.c_str(), INT32_MIN, A240 + ":-2147483648"},
};

TEST(ProxyText, IsHostCutAt240ColonSignedPort)
{
    for (const ProxyRow &row : PROXY_ROWS) {
        SCOPED_TRACE(row.text);
        char buffer[256];
        compose_proxy(buffer, sizeof buffer, row.host, row.port);
        EXPECT_EQ(std::string(buffer), row.text);
    }
}

} // namespace
