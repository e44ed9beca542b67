// What the library's parts share: the result record's error recording and
// text copy, the login message's composition and parse, and the checks of
// the caller's input.
#ifndef KESTA_INTERNAL_H
#define KESTA_INTERNAL_H

#include "kesta.h"
#include "platform.h"

namespace kesta {

// "Not enough memory." in Shift-JIS: a fixed text, never allocated and
// never freed, so that it can be reported when nothing else can be.
extern const char MEMORY_MESSAGE[21];

// Sets the record's error code and its message text. Code 8 gets
// MEMORY_MESSAGE; any other code gets the text the platform finds (WinINet's
// table first, then the system's), or null. The text it replaces is freed,
// unless it is MEMORY_MESSAGE.
void record_error(LOGIN_RESULT *result, DWORD code);

// A new NUL-terminated local-heap copy of the n bytes at start (NUL bytes
// among them included), or null when it cannot be allocated.
char *copy_range(const char *start, DWORD n);

// The login request's one extra header line, and the prefix every good
// reply starts with.
extern const char HEADER_LINE[];
extern const char REPLY_PREFIX[];
constexpr DWORD REPLY_PREFIX_LENGTH = 11;

// Writes "ID=<id>&PW=<password>" into buffer, each cut to 240 bytes, a null
// one written as "(null)". Returns the length, at most 487.
DWORD compose_body(char *buffer, size_t size, const char *id, const char *password);

// Writes "<host>:<port>", the host cut to 240 bytes, into buffer.
void compose_proxy(char *buffer, size_t size, const char *host, int32_t port);

// Turns the n reply bytes into the record's session ID and user-agent
// texts, or records 13 for a reply of the wrong shape and 8 for a failed copy.
void parse_reply(LOGIN_RESULT *result, const char *bytes, DWORD n);

// Whether the caller's input names only a place to log in, and nothing
// that the platform would read as more: a server name without user info,
// port, path or spaces; a path without control bytes; a proxy that is one
// host name or address (its first 240 bytes) and a port from 1 to 65535.
bool server_is_safe(const char *server);
bool path_is_safe(const char *path);
bool proxy_is_safe(const char *host, int32_t port);

} // namespace kesta

#endif
