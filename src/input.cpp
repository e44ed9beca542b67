// The caller's server name, path and proxy, checked before anything goes on
// the network. WinINet and libcurl both read more into these texts than a
// host name or a path: a list of proxies, a scheme, user info, a port, a
// header line. Whatever could move the login or add to the request is
// refused here, so that every target refuses the same input.
#include <string.h>

#include "exchange.h"
#include "kesta_internal.h"

namespace kesta {

static bool is_control(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// Spelled out rather than left to <ctype.h>, whose answers follow the
// host program's locale.
static bool is_hex_digit(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static bool is_name_byte(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '.' || c == '_' || c >= 0x80;
}

bool server_is_safe(const char *server)
{
    if (server == nullptr || server[0] == '\0') {
        return false;
    }
    for (const char *c = server; *c != '\0'; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        // A space or control byte splits the name; '@' brings user info,
        // '/', '\', '?' and '#' a path, '%' an escape and ':' a port. Address
        // literals are refused with their brackets: a login server is named.
        // Bytes above 0x7F pass: names in the ANSI code page go on as they are.
        if (byte == ' ' || is_control(byte) || strchr("@/\\?#%:[]", byte) != nullptr) {
            return false;
        }
    }
    return true;
}

bool path_is_safe(const char *path)
{
    // A CR or LF would end the request line and start a header of the
    // caller's making; no control byte has a place in a path.
    for (const char *c = path != nullptr ? path : ""; *c != '\0'; c++) {
        if (is_control(static_cast<unsigned char>(*c))) {
            return false;
        }
    }
    return true;
}

// Host names, IPv4 addresses and bracketed IPv6 addresses, nothing else:
// WinINet reads spaces, '=' and ';' in a proxy text as a list of proxies for
// different schemes, libcurl reads a scheme, user info and a path.
bool proxy_is_safe(const char *host, int32_t port)
{
    if (port < 1 || port > 65535) {
        return false;
    }
    // Only the bytes that the 240-byte cut keeps are ever used.
    size_t n = strnlen(host, CUT_LENGTH);
    if (host[0] == '[') {
        if (n < 3 || host[n - 1] != ']') {
            return false;
        }
        bool colon = false;
        for (size_t i = 1; i + 1 < n; i++) {
            unsigned char byte = static_cast<unsigned char>(host[i]);
            colon = colon || byte == ':';
            if (!(is_hex_digit(byte) || byte == ':' || byte == '.')) {
                return false;
            }
        }
        return colon;
    }
    for (size_t i = 0; i < n; i++) {
        if (!is_name_byte(static_cast<unsigned char>(host[i]))) {
            return false;
        }
    }
    return n > 0;
}

} // namespace kesta
