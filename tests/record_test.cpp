// The result record: error recording, text copies, release and queries.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "fault_heap.h"
#include "kesta_internal.h"

using namespace kesta;

namespace {

const char MEMORY_BYTES[] = "\x83\x81\x83\x82\x83\x8A\x82\xAA\x91\xAB\x82\xE8\x82\xDC\x82\xB9"
                            "\x82\xF1\x81\x42";

LOGIN_RESULT *new_record()
{
    return static_cast<LOGIN_RESULT *>(LocalAlloc(LPTR, sizeof(LOGIN_RESULT)));
}

class Record : public ::testing::Test {
  protected:
    void SetUp() override { fault_heap::reset(); }
};

TEST_F(Record, ReleaseOfNullReturnsZeroAndFreesNothing)
{
    EXPECT_EQ(_KESTA_RELEASE(nullptr), 0);
    EXPECT_EQ(fault_heap::allocations(), 0);
}

TEST_F(Record, ReleaseOfSuccessFreesBothTextsAndTheRecord)
{
    LOGIN_RESULT *r = new_record();
    r->session_id = copy_range("ua:rest", 7);
    r->user_agent = copy_range("ua", 2);
    EXPECT_EQ(fault_heap::live(), 3);
    EXPECT_EQ(_KESTA_RELEASE(r), 0);
    EXPECT_EQ(fault_heap::live(), 0);
}

TEST_F(Record, MemoryErrorHasTheFixedShiftJisTextWhichReleaseNeverFrees)
{
    LOGIN_RESULT *r = new_record();
    r->session_id = copy_range("ua:rest", 7);
    record_error(r, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(fault_heap::allocations(), 2) << "no lookup, no allocation for code 8";
    ASSERT_NE(r->error_string, nullptr);
    EXPECT_EQ(std::string(r->error_string), std::string(MEMORY_BYTES));
    EXPECT_EQ(strlen(r->error_string), 20u);
    EXPECT_STREQ(_KESTA_GETSESSIONID(r), "ua:rest") << "a copy made before the failure stays";

    const char *fixed = r->error_string;
    EXPECT_EQ(_KESTA_RELEASE(r), 0);
    EXPECT_FALSE(fault_heap::freed(fixed));
    EXPECT_EQ(fault_heap::live(), 0);
    EXPECT_EQ(memcmp(fixed, MEMORY_BYTES, 21), 0) << "the fixed text is untouched";
}

TEST_F(Record, CodeWithATextGetsTheTextWhichReleaseFrees)
{
    // Codes from the system's table and from WinINet's (looked up first).
    for (DWORD code : {DWORD(ERROR_INVALID_DATA), DWORD(ERROR_INVALID_PARAMETER),
                       DWORD(ERROR_INVALID_HANDLE), DWORD(12007), DWORD(12029)}) {
        SCOPED_TRACE(code);
        fault_heap::reset();
        LOGIN_RESULT *r = new_record();
        record_error(r, code);
        EXPECT_EQ(_KESTA_GETERRORCODE(r), code);
        ASSERT_NE(_KESTA_GETERRORSTRING(r), nullptr);
        std::string text = _KESTA_GETERRORSTRING(r);
        ASSERT_GE(text.size(), 3u);
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        _KESTA_RELEASE(r);
        EXPECT_EQ(fault_heap::live(), 0);
    }
}

TEST_F(Record, CodeWithoutATextKeepsTheCodeAndANullText)
{
    for (DWORD code : {DWORD(99999), DWORD(0x7FFFFFFF), DWORD(12003)}) {
        SCOPED_TRACE(code);
        LOGIN_RESULT *r = new_record();
        record_error(r, code);
        EXPECT_EQ(_KESTA_GETERRORCODE(r), code);
        EXPECT_EQ(_KESTA_GETERRORSTRING(r), nullptr);
        _KESTA_RELEASE(r);
    }
    EXPECT_EQ(fault_heap::live(), 0);
}

// Each recording replaces the one before, whatever their order: the text
// it replaces is freed then (on Windows the platform allocates the texts,
// so what is looked at is what the library frees), never the fixed one.
TEST_F(Record, ALaterErrorFreesTheTextOfTheEarlierOne)
{
    const std::vector<std::vector<DWORD>> orders = {
        {ERROR_INVALID_DATA, 12029},
        {12029, ERROR_INVALID_DATA, 12007},
        {ERROR_INVALID_DATA, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA},
        {ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {12029, 99999},
    };
    for (const std::vector<DWORD> &codes : orders) {
        SCOPED_TRACE(::testing::PrintToString(codes));
        fault_heap::reset();
        LOGIN_RESULT *r = new_record();
        const char *earlier = nullptr;
        for (DWORD code : codes) {
            bool owned = r->error_code != ERROR_NOT_ENOUGH_MEMORY && earlier != nullptr;
            record_error(r, code);
            if (earlier != nullptr) {
                EXPECT_EQ(fault_heap::freed(earlier), owned) << "the text before " << code;
            }
            earlier = r->error_string;
        }
        EXPECT_EQ(_KESTA_GETERRORCODE(r), codes.back());
        _KESTA_RELEASE(r);
        EXPECT_FALSE(fault_heap::freed(MEMORY_MESSAGE));
        EXPECT_EQ(fault_heap::live(), 0);
    }
}

TEST_F(Record, SystemTextsAreTheExpectedWords)
{
    LOGIN_RESULT *r = new_record();
    record_error(r, ERROR_INVALID_DATA);
    ASSERT_NE(r->error_string, nullptr);
    EXPECT_STREQ(r->error_string, "Invalid data.\r\n");
    _KESTA_RELEASE(r);
}

TEST_F(Record, CopyRangeCopiesExactlyNBytesNulsIncludedAndTerminates)
{
    const char source[] = {'a', '\0', 'b', 'c', 'd'};
    char *text = copy_range(source, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(memcmp(text, "a\0b\0", 4), 0);
    LocalFree(text);

    char *empty = copy_range(source, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    LocalFree(empty);
    EXPECT_EQ(fault_heap::live(), 0);
}

TEST_F(Record, CopyRangeGivesNullWhenTheAllocationFails)
{
    fault_heap::reset(1);
    EXPECT_EQ(copy_range("abc", 3), nullptr);
    EXPECT_EQ(fault_heap::live(), 0);
}

TEST_F(Record, QueriesReturnTheFieldsAsTheyAre)
{
    LOGIN_RESULT r = {};
    char session[] = "s";
    char text[] = "t";
    char agent[] = "u";
    r.session_id = session;
    r.error_code = 12345;
    r.error_string = text;
    r.user_agent = agent;
    EXPECT_EQ(_KESTA_GETSESSIONID(&r), session);
    EXPECT_EQ(_KESTA_GETERRORCODE(&r), 12345u);
    EXPECT_EQ(_KESTA_GETERRORSTRING(&r), text);
    EXPECT_EQ(_KESTA_GETUSERAGENT(&r), agent);
}

TEST_F(Record, VersionIsOnePointZero)
{
    EXPECT_EQ(_KESTA_GETVERSION(), 65536u);
}

} // namespace
