// Fuzzes the reply parse: the first byte picks which local-heap allocation
// fails (none, the session text, the user agent, the error text), the rest
// is what the read returned. The record must come out as documented, be
// released, and leave nothing behind.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fault_heap.h"
#include "kesta_internal.h"

using namespace kesta;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 4097) {
        return 0; // a read never hands over more than 4096 bytes
    }
    fault_heap::reset();
    LOGIN_RESULT *r = static_cast<LOGIN_RESULT *>(LocalAlloc(LPTR, sizeof(LOGIN_RESULT)));
    fault_heap::reset(data[0] % 4); // counts from the parse's first allocation
    // A copy of exactly the reply's size, so that reading one byte past it
    // is caught.
    size_t n = size - 1;
    char *reply = static_cast<char *>(malloc(n ? n : 1));
    memcpy(reply, data + 1, n);
    parse_reply(r, reply, DWORD(n));

    bool good = r->error_code == 0 || r->error_code == ERROR_NOT_ENOUGH_MEMORY ||
                r->error_code == ERROR_INVALID_DATA;
    if (!good ||
        (r->error_code == 0 &&
         (r->session_id == nullptr || r->user_agent == nullptr || r->error_string != nullptr)) ||
        (r->error_code == ERROR_NOT_ENOUGH_MEMORY && r->error_string != MEMORY_MESSAGE)) {
        abort();
    }
    // The texts are the value (without one final LF) and its part before
    // the first colon, byte for byte.
    if (r->session_id != nullptr || r->user_agent != nullptr) {
        size_t end = reply[n - 1] == '\n' ? n - 1 : n;
        size_t length = end - REPLY_PREFIX_LENGTH;
        const char *value = reply + REPLY_PREFIX_LENGTH;
        if (r->session_id != nullptr &&
            (memcmp(r->session_id, value, length) != 0 || r->session_id[length] != '\0')) {
            abort();
        }
        const char *colon = static_cast<const char *>(memchr(value, ':', length));
        if (r->user_agent != nullptr &&
            (colon == nullptr || memchr(value, '\0', size_t(colon - value)) != nullptr ||
             strlen(r->user_agent) != size_t(colon - value) ||
             memcmp(r->user_agent, value, size_t(colon - value)) != 0)) {
            abort();
        }
    }
    free(reply);
    _KESTA_RELEASE(r);
    if (fault_heap::live() != 0) {
        abort();
    }
    return 0;
}
