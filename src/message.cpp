// The login message: what the library adds to the request, and how it reads
// the login server's reply.
#include <stdio.h>
#include <string.h>

#include "exchange.h"
#include "kesta_internal.h"

namespace kesta {

const char HEADER_LINE[] = "X-Orv-UA: Kelpin/2.00\r\n";
const char REPLY_PREFIX[] = "SESSION-ID=";
static_assert(sizeof REPLY_PREFIX - 1 == REPLY_PREFIX_LENGTH, "prefix length");

// Written out rather than left to printf: "%s" with a null pointer is
// undefined, even where a C library happens to print "(null)".
static const char *or_null_text(const char *text)
{
    return text != nullptr ? text : "(null)";
}

DWORD compose_body(char *buffer, size_t size, const char *id, const char *password)
{
    // The precision cuts bytes, not characters; nothing is escaped, so the
    // server sees the caller's bytes as they are.
    snprintf(buffer, size, "ID=%.*s&PW=%.*s", CUT_LENGTH, or_null_text(id), CUT_LENGTH,
             or_null_text(password));
    return DWORD(strlen(buffer));
}

void compose_proxy(char *buffer, size_t size, const char *host, int32_t port)
{
    snprintf(buffer, size, "%.*s:%d", CUT_LENGTH, host, int(port));
}

void parse_reply(LOGIN_RESULT *result, const char *bytes, DWORD n)
{
    // The prefix is compared byte for byte; case matters.
    if (n < REPLY_PREFIX_LENGTH || memcmp(bytes, REPLY_PREFIX, REPLY_PREFIX_LENGTH) != 0) {
        record_error(result, ERROR_INVALID_DATA);
        return;
    }
    // One final LF is the reply's line end, not part of the value; a CR
    // before it stays.
    if (bytes[n - 1] == '\n') {
        n--;
    }
    const char *value = bytes + REPLY_PREFIX_LENGTH;
    DWORD length = n - REPLY_PREFIX_LENGTH;

    result->session_id = copy_range(value, length);
    if (result->session_id == nullptr) {
        record_error(result, ERROR_NOT_ENOUGH_MEMORY);
    }
    // The user agent ends at the first colon; a NUL ends the search, since
    // the caller would see a text that stops there.
    DWORD k = 0;
    while (k < length && value[k] != '\0' && value[k] != ':') {
        k++;
    }
    if (k == length || value[k] != ':') {
        record_error(result, ERROR_INVALID_DATA);
        return;
    }
    result->user_agent = copy_range(value, k);
    if (result->user_agent == nullptr) {
        record_error(result, ERROR_NOT_ENOUGH_MEMORY);
    }
}

} // namespace kesta
