// Kernel32 on Linux: the thread's last error, the internet library's module
// handle, message texts and a memory wipe the compiler cannot drop.
#include <stdio.h>
#include <string.h>

#include "layer.h"

namespace {

using kesta_posix::Entry;

// Like Windows, each thread has its own last error.
thread_local DWORD last_error = ERROR_SUCCESS;
thread_local char last_detail[256];

// Stands for the internet library's module: FormatMessageA finds WinINet's
// texts only when handed this.
const char wininet_module = 0;

// The texts Wine's tables hold for these codes, so that a caller sees the
// same words on both targets; codes Wine has no text for have their own.
const Entry<const char *> SYSTEM_MESSAGES[] = {
    {ERROR_INVALID_HANDLE, "Invalid handle."},  {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory."},
    {ERROR_INVALID_DATA, "Invalid data."},      {ERROR_INVALID_PARAMETER, "Invalid parameter."},
    {ERROR_MOD_NOT_FOUND, "Module not found."},
};

const Entry<const char *> WININET_MESSAGES[] = {
    {ERROR_INTERNET_TIMEOUT, "The request has timed out."},
    {ERROR_INTERNET_INTERNAL_ERROR, "An internal error has occurred."},
    {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name could not be resolved."},
    {ERROR_INTERNET_INCORRECT_HANDLE_TYPE,
     "The type of handle supplied is incorrect for this operation."},
    {ERROR_INTERNET_CANNOT_CONNECT, "The attempt to connect to the server failed."},
    {ERROR_INTERNET_CONNECTION_ABORTED, "The connection with the server has been terminated."},
    {ERROR_INTERNET_SEC_CERT_DATE_INVALID,
     "SSL certificate date that was received from the server is bad. The certificate is "
     "expired."},
    {ERROR_INTERNET_SEC_CERT_CN_INVALID,
     "SSL certificate common name (host name field) is incorrect."},
    {ERROR_INTERNET_INVALID_CA, "The certificate authority is invalid or incorrect."},
    {ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server response could not be parsed."},
    {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "An error occurred in the secure channel support."},
    {ERROR_INTERNET_SEC_INVALID_CERT, "SSL certificate is invalid."},
    {ERROR_INTERNET_SEC_CERT_REVOKED, "SSL certificate was revoked."},
};

// The one way the library asks for a text: the module's table first, then
// the system's, into a text allocated on the local heap.
const DWORD MESSAGE_FLAGS = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;

} // namespace

namespace kesta_posix {

void set_error(DWORD code, const char *detail)
{
    last_error = code;
    snprintf(last_detail, sizeof last_detail, "%s", detail != nullptr ? detail : "");
}

} // namespace kesta_posix

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return last_error;
}

void WINAPI SetLastError(DWORD code)
{
    kesta_posix::set_error(code, nullptr);
}

// The library asks for its internet library by the one name it uses.
HMODULE WINAPI GetModuleHandleA(LPCSTR name)
{
    if (name != nullptr && strcmp(name, "wininet") == 0) {
        return const_cast<char *>(&wininet_module);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI FormatMessageA(DWORD flags, const void *source, DWORD message_id, DWORD language,
                            LPSTR buffer, DWORD size, void *arguments)
{
    (void)language; // every text here is in English
    (void)arguments;
    if (flags != MESSAGE_FLAGS || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *reinterpret_cast<char **>(buffer) = nullptr;
    const char *text = source == &wininet_module ? kesta_posix::lookup(WININET_MESSAGES, message_id,
                                                                       (const char *)nullptr)
                                                 : nullptr;
    text = text != nullptr ? text : kesta_posix::lookup(SYSTEM_MESSAGES, message_id, text);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }

    // Texts end in CR LF, as Windows' do. An internal error carries the
    // transport's own words for what went wrong, when there are any.
    char line[512];
    if (message_id == ERROR_INTERNET_INTERNAL_ERROR && last_detail[0] != '\0') {
        snprintf(line, sizeof line, "%s (%s)\r\n", text, last_detail);
    } else {
        snprintf(line, sizeof line, "%s\r\n", text);
    }
    DWORD length = DWORD(strlen(line));
    char *out = static_cast<char *>(LocalAlloc(LMEM_FIXED, length + 1 > size ? length + 1 : size));
    if (out == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    memcpy(out, line, length + 1);
    *reinterpret_cast<char **>(buffer) = out;
    return length;
}

void *WINAPI SecureZeroMemory(void *ptr, SIZE_T count)
{
    // explicit_bzero is a wipe the optimiser must keep, like Windows' own.
    explicit_bzero(ptr, count);
    return ptr;
}

} // extern "C"
