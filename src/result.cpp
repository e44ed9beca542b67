// The result record: how errors are recorded in it, how its texts are made,
// and the exports that read it and free it.
#include <string.h>

#include "kesta_internal.h"

namespace kesta {

// Written as bytes so that the source's own encoding cannot change them:
// 83 81 83 82 83 8A 82 AA 91 AB 82 E8 82 DC 82 B9 82 F1 81 42.
const char MEMORY_MESSAGE[21] = {'\x83', '\x81', '\x83', '\x82', '\x83', '\x8A', '\x82',
                                 '\xAA', '\x91', '\xAB', '\x82', '\xE8', '\x82', '\xDC',
                                 '\x82', '\xB9', '\x82', '\xF1', '\x81', '\x42', '\0'};

void record_error(LOGIN_RESULT *result, DWORD code)
{
    // The text being replaced goes, by the same rule as at release: whatever
    // order the errors come in, the record owns one text at most.
    if (result->error_code != ERROR_NOT_ENOUGH_MEMORY) {
        LocalFree(result->error_string);
    }
    result->error_code = code;
    if (code == ERROR_NOT_ENOUGH_MEMORY) {
        // No lookup: it could need the memory that just ran out.
        result->error_string = const_cast<char *>(MEMORY_MESSAGE);
        return;
    }
    result->error_string = nullptr;
    // With ALLOCATE_BUFFER the platform writes the address of the text it
    // allocated into error_string; when it finds none, that stays null.
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM,
                   GetModuleHandleA("wininet"), code, LANG_USER_DEFAULT,
                   reinterpret_cast<LPSTR>(&result->error_string), 0, nullptr);
}

char *copy_range(const char *start, DWORD n)
{
    char *text = static_cast<char *>(LocalAlloc(LMEM_FIXED, SIZE_T(n) + 1));
    if (text == nullptr) {
        return nullptr;
    }
    memcpy(text, start, n);
    text[n] = '\0';
    return text;
}

} // namespace kesta

extern "C" {

int32_t KESTA_CALL _KESTA_RELEASE(LOGIN_RESULT *result)
{
    if (result == nullptr) {
        return 0;
    }
    LocalFree(result->session_id);
    LocalFree(result->user_agent);
    // Code 8 always carries the fixed text, which was never allocated.
    if (result->error_code != ERROR_NOT_ENOUGH_MEMORY) {
        LocalFree(result->error_string);
    }
    LocalFree(result);
    return 0;
}

uint32_t KESTA_CALL _KESTA_GETVERSION(void)
{
    return 0x00010000;
}

uint32_t KESTA_CALL _KESTA_GETERRORCODE(const LOGIN_RESULT *result)
{
    return result->error_code;
}

const char *KESTA_CALL _KESTA_GETERRORSTRING(const LOGIN_RESULT *result)
{
    return result->error_string;
}

const char *KESTA_CALL _KESTA_GETSESSIONID(const LOGIN_RESULT *result)
{
    return result->session_id;
}

const char *KESTA_CALL _KESTA_GETUSERAGENT(const LOGIN_RESULT *result)
{
    return result->user_agent;
}

} // extern "C"
