// The Linux stand-ins for Kernel32: message texts, the last error, the local
// heap and the wipe, with the contract the library relies on.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>

#include "layer.h"

namespace {

const DWORD LOOKUP = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                     FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;

// The text FormatMessageA allocates for code, as the library asks for it;
// "(null)" when there is none.
std::string text_of(DWORD code, HMODULE module)
{
    char *text = nullptr;
    DWORD n = FormatMessageA(LOOKUP, module, code, LANG_USER_DEFAULT,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (text == nullptr) {
        EXPECT_EQ(n, 0u);
        return "(null)";
    }
    std::string out(text);
    EXPECT_EQ(n, out.size());
    LocalFree(text);
    return out;
}

struct TextRow {
    DWORD code;
    bool with_module; // the internet library's handle, or none
    const char *text;
};

const TextRow TEXT_ROWS[] = {
    {13, true, "Invalid data.\r\n"},
    {87, true, "Invalid parameter.\r\n"},
    {6, true, "Invalid handle.\r\n"},
    {12029, true, "The attempt to connect to the server failed.\r\n"},
    {12002, true, "The request has timed out.\r\n"},
    {12170, true, "SSL certificate was revoked.\r\n"},
    {12029, false, "(null)"}, // WinINet's codes are in its own table only
    {13, false, "Invalid data.\r\n"},
    {12003, true, "(null)"},
    {99999, true, "(null)"},
    {0xFFFFFFFF, true, "(null)"},
};

TEST(FormatMessage, FindsTheModulesTableFirstThenTheSystems)
{
    for (const TextRow &row : TEXT_ROWS) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(text_of(row.code, row.with_module ? GetModuleHandleA("wininet") : nullptr),
                  row.text);
    }
}

TEST(FormatMessage, NoTextSetsTheLastError)
{
    EXPECT_EQ(text_of(99999, GetModuleHandleA("wininet")), "(null)");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
}

TEST(FormatMessage, InternalErrorCarriesTheTransportsWordsUntilTheNextError)
{
    kesta_posix::set_error(ERROR_INTERNET_INTERNAL_ERROR, "TLS: bad record mac");
    EXPECT_EQ(text_of(12004, GetModuleHandleA("wininet")),
              "An internal error has occurred. (TLS: bad record mac)\r\n");
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    EXPECT_EQ(text_of(12004, GetModuleHandleA("wininet")), "An internal error has occurred.\r\n");
}

TEST(LocalHeap, ZeroFillsOnAskAndAcceptsNull)
{
    unsigned char *zeroed = static_cast<unsigned char *>(LocalAlloc(LPTR, 64));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(zeroed[i], 0);
    }
    EXPECT_EQ(LocalFree(zeroed), nullptr);
    void *empty = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr) << "a block even for 0 bytes";
    LocalFree(empty);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(LastError, IsPerThread)
{
    SetLastError(13);
    DWORD other = 1;
    std::thread([&other] { other = GetLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), 13u);
}

TEST(Wipe, ClearsEveryByte)
{
    char secret[32];
    memset(secret, 'x', sizeof secret);
    SecureZeroMemory(secret, sizeof secret);
    for (char c : secret) {
        EXPECT_EQ(c, 0);
    }
}

} // namespace
