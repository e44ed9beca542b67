// WinINet on Linux, over libcurl: exactly the synchronous HTTPS calls the
// library makes, with the same contracts.
//
//   InternetOpenA         a session: an agent name, direct or through one HTTP
//                         proxy given as "host:port", with an empty bypass list
//   InternetConnectA      a connection to a server on port 443, service HTTP,
//                         INTERNET_FLAG_SECURE
//   HttpOpenRequestA      a POST to a path; the library's request flags, TLS
//                         and no redirects among them
//   HttpSendRequestA      sends it once: extra header lines and a body of at
//                         most 4096 bytes; returns once the response headers
//                         are in
//   InternetReadFile      reads the response body until the buffer is full or
//                         the body ends
//   InternetQueryOptionA  the send and receive timeouts; a request's security
//   InternetSetOptionA    flags (SECURITY_FLAG_SECURE once its response is in)
//   InternetCloseHandle   closes any handle, in any order
//
// Anything else is refused with ERROR_INVALID_PARAMETER: asynchronous or
// preconfigured sessions, proxy lists or URLs, user names, plain http, other
// ports, verbs, HTTP versions, referrers and accept types. Certificates are
// always checked; no environment variable or file of the caller's is read.
// Each request is a transfer on a multi handle of its own: nothing is shared
// between requests, so several threads may log in at once.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "layer.h"
#include "transfer.h"

namespace {

using kesta_posix::Phase;
using kesta_posix::set_error;
using kesta_posix::Target;

// The library's request body lives in its 4096-byte buffer.
const DWORD BODY_LIMIT = 4096;
// The flags a request may have. TLS and no redirects are required: this
// layer implements neither plain HTTP nor following a redirect.
const DWORD REQUEST_FLAGS = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                            INTERNET_FLAG_NO_AUTO_REDIRECT;
const DWORD REQUIRED_FLAGS = INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT;

enum class Kind { session, connection, request };
const uint32_t HANDLE_MAGIC = 0x6b657374;

struct Handle {
    uint32_t magic = HANDLE_MAGIC;
    Kind kind;
    // Copied from the handle this one was opened from, so that the three may
    // be closed in any order.
    Target target;
    // A request's own: its path as it goes on the wire, and its transfer,
    // whose phase is the request's.
    char *path = nullptr;
    kesta_posix::Transfer transfer;

    Handle(Kind k, const Target &t) : kind(k), target(t) {}
    ~Handle()
    {
        free(path);
        magic = 0;
    }
};

Handle *as_handle(HINTERNET h, Kind kind)
{
    Handle *handle = static_cast<Handle *>(h);
    if (handle == nullptr || handle->magic != HANDLE_MAGIC) {
        set_error(ERROR_INVALID_HANDLE, nullptr);
        return nullptr;
    }
    if (handle->kind != kind) {
        set_error(ERROR_INTERNET_INCORRECT_HANDLE_TYPE, nullptr);
        return nullptr;
    }
    return handle;
}

HINTERNET refuse()
{
    set_error(ERROR_INVALID_PARAMETER, nullptr);
    return nullptr;
}

Handle *new_handle(Kind kind, const Target &target)
{
    Handle *h = new (std::nothrow) Handle(kind, target);
    if (h == nullptr) {
        set_error(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    return h;
}

// The failure a request's transfer ended with, as the last error.
BOOL failed(const Handle *r)
{
    const kesta_posix::Transfer &t = r->transfer;
    set_error(t.error, t.error == ERROR_INTERNET_INTERNAL_ERROR ? t.errors : nullptr);
    return FALSE;
}

bool is_name_byte(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '.' || c == '_';
}

// Host names and IPv4 addresses only: anything that would change the meaning
// of the URL the transfer is built from (a port, user info, a path, an
// address literal) cannot be a server name.
bool valid_server(const char *server)
{
    for (const char *c = server; *c != '\0'; c++) {
        if (!is_name_byte(*c)) {
            return false;
        }
    }
    return server[0] != '\0';
}

// WinINet's proxy text "host:port", here one proxy only: a host name, an IPv4
// address or a bracketed IPv6 address, and a port from 1 to 65535. The URL
// libcurl gets is built from those two parts, with the scheme written here,
// so that no scheme, user info or path in the text can reach it.
bool build_proxy(char (&to)[300], const char *text)
{
    const char *colon = strrchr(text, ':');
    if (colon == nullptr || colon == text || colon[1] == '\0' || strlen(colon + 1) > 5) {
        return false;
    }
    long port = 0;
    for (const char *c = colon + 1; *c != '\0'; c++) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        port = port * 10 + (*c - '0');
    }
    size_t length = size_t(colon - text);
    bool bracketed = text[0] == '[' && colon[-1] == ']' && length > 2;
    for (size_t i = bracketed ? 1 : 0; i < (bracketed ? length - 1 : length); i++) {
        bool hex = strchr("0123456789abcdefABCDEF:.", text[i]) != nullptr;
        if (!(bracketed ? hex : is_name_byte(text[i]))) {
            return false;
        }
    }
    if (port < 1 || port > 65535 || length > 255) {
        return false;
    }
    snprintf(to, sizeof to, "http://%.*s:%ld", int(length), text, port);
    return true;
}

// The path as it goes on the request line, the way WinINet writes it: a '/'
// in front when it has none (so no path is the root), backslashes as slashes
// and spaces as %20. Control bytes are escaped too, which WinINet does not
// do: a CR LF in the path must not start a header line of its own.
char *request_target(const char *path)
{
    const char *from = path != nullptr ? path : "";
    char *out = static_cast<char *>(malloc(1 + 3 * strlen(from) + 1));
    if (out == nullptr) {
        return nullptr;
    }
    size_t n = 0;
    if (from[0] != '/' && from[0] != '\\') {
        out[n++] = '/';
    }
    for (const char *c = from; *c != '\0'; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (byte == '\\') {
            out[n++] = '/';
        } else if (byte <= 0x20 || byte == 0x7F) {
            n += size_t(snprintf(out + n, 4, "%%%02X", byte));
        } else {
            out[n++] = char(byte);
        }
    }
    out[n] = '\0';
    return out;
}

DWORD *timeout_of(Handle *h, DWORD option)
{
    return option == INTERNET_OPTION_RECEIVE_TIMEOUT ? &h->target.receive_timeout_ms
           : option == INTERNET_OPTION_SEND_TIMEOUT  ? &h->target.send_timeout_ms
                                                     : nullptr;
}

// libcurl's process-wide set-up, done once by the first session and given
// back when the library is unloaded or the process ends. libcurl counts
// its users, so a host that uses libcurl itself keeps its own.
struct CurlGlobal {
    CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    ~CurlGlobal()
    {
        if (code == CURLE_OK) {
            curl_global_cleanup();
        }
    }
};

const CurlGlobal &curl_global()
{
    static const CurlGlobal global;
    return global;
}

} // namespace

extern "C" {

HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD access_type, LPCSTR proxy, LPCSTR proxy_bypass,
                               DWORD flags)
{
    // Asynchronous sessions and the system's preconfigured proxy are not
    // offered: the library reads no configuration.
    Target target;
    bool direct =
        access_type == INTERNET_OPEN_TYPE_DIRECT && proxy == nullptr && proxy_bypass == nullptr;
    bool proxied = access_type == INTERNET_OPEN_TYPE_PROXY && proxy != nullptr &&
                   (proxy_bypass == nullptr || proxy_bypass[0] == '\0') &&
                   build_proxy(target.proxy, proxy);
    if (flags != 0 || !(direct || proxied) || agent == nullptr ||
        strlen(agent) >= sizeof target.agent) {
        return refuse();
    }
    snprintf(target.agent, sizeof target.agent, "%s", agent);
    CURLcode init = curl_global().code;
    if (init != CURLE_OK) {
        set_error(ERROR_INTERNET_INTERNAL_ERROR, curl_easy_strerror(init));
        return nullptr;
    }
    return new_handle(Kind::session, target);
}

HINTERNET WINAPI InternetConnectA(HINTERNET session, LPCSTR server, INTERNET_PORT port, LPCSTR user,
                                  LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context)
{
    Handle *s = as_handle(session, Kind::session);
    if (s == nullptr) {
        return nullptr;
    }
    if (server == nullptr || server[0] == '\0' || port != INTERNET_DEFAULT_HTTPS_PORT ||
        user != nullptr || password != nullptr || service != INTERNET_SERVICE_HTTP ||
        flags != INTERNET_FLAG_SECURE || context != 0) {
        return refuse();
    }
    Target target = s->target;
    // A name that cannot be a host fails as an unknown one would, at the send.
    snprintf(target.server, sizeof target.server, "%s",
             strlen(server) < sizeof target.server && valid_server(server) ? server : "");
    return new_handle(Kind::connection, target);
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR object, LPCSTR version,
                                  LPCSTR referrer, LPCSTR *accept_types, DWORD flags,
                                  DWORD_PTR context)
{
    Handle *c = as_handle(connection, Kind::connection);
    if (c == nullptr) {
        return nullptr;
    }
    if (verb == nullptr || strcmp(verb, "POST") != 0 || version != nullptr || referrer != nullptr ||
        accept_types != nullptr || (flags & ~REQUEST_FLAGS) != 0 ||
        (flags & REQUIRED_FLAGS) != REQUIRED_FLAGS || context != 0) {
        return refuse();
    }
    char *path = request_target(object);
    Handle *r =
        path != nullptr ? static_cast<Handle *>(new_handle(Kind::request, c->target)) : nullptr;
    if (r == nullptr) {
        free(path);
        set_error(ERROR_NOT_ENOUGH_MEMORY, nullptr);
        return nullptr;
    }
    r->path = path;
    return r;
}

BOOL WINAPI HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headers_length,
                             LPVOID optional, DWORD optional_length)
{
    Handle *r = as_handle(request, Kind::request);
    if (r == nullptr) {
        return FALSE;
    }
    if (r->transfer.phase != Phase::opened) {
        set_error(ERROR_INVALID_PARAMETER, "a request is sent once");
        return FALSE;
    }
    if (optional_length > BODY_LIMIT || (optional == nullptr && optional_length > 0)) {
        set_error(ERROR_INVALID_PARAMETER, nullptr);
        return FALSE;
    }
    if (r->target.server[0] == '\0') {
        set_error(ERROR_INTERNET_NAME_NOT_RESOLVED, nullptr);
        return FALSE;
    }
    if (!start(r->transfer, r->target, r->path, headers, headers_length, optional,
               optional_length)) {
        return FALSE;
    }
    // Back only once libcurl has all of the body: the caller may reuse its
    // buffer then, and the layer keeps no copy of it.
    drive(r->transfer, kesta_posix::taken);
    if (r->transfer.phase == Phase::failed) {
        return failed(r);
    }
    return TRUE;
}

// Fills the buffer until it is full or the body has ended. Bytes that
// arrived before a failure are the caller's; the failure comes with the
// read after them.
BOOL WINAPI InternetReadFile(HINTERNET file, LPVOID buffer, DWORD to_read, LPDWORD read)
{
    Handle *r = as_handle(file, Kind::request);
    if (r == nullptr) {
        return FALSE;
    }
    if (read == nullptr || (buffer == nullptr && to_read > 0)) {
        set_error(ERROR_INVALID_PARAMETER, nullptr);
        return FALSE;
    }
    *read = 0;
    kesta_posix::Transfer &t = r->transfer;
    if (!response_in(t)) {
        set_error(ERROR_INTERNET_INCORRECT_HANDLE_STATE, nullptr);
        return FALSE;
    }
    DWORD placed = 0;
    while (placed < to_read && (has_pending(t) || t.phase < Phase::ended)) {
        placed += take_pending(t, static_cast<char *>(buffer) + placed, to_read - placed);
        drive(t, kesta_posix::has_pending);
    }
    *read = placed;
    return placed == 0 && t.phase == Phase::failed ? failed(r) : TRUE;
}

BOOL WINAPI InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length)
{
    Handle *h = static_cast<Handle *>(handle);
    if (h == nullptr || h->magic != HANDLE_MAGIC) {
        set_error(ERROR_INVALID_HANDLE, nullptr);
        return FALSE;
    }
    if (buffer == nullptr || length == nullptr || *length < sizeof(DWORD)) {
        set_error(ERROR_INVALID_PARAMETER, nullptr);
        return FALSE;
    }
    DWORD value = 0;
    if (option == INTERNET_OPTION_SECURITY_FLAGS) {
        if (h->kind != Kind::request) {
            set_error(ERROR_INTERNET_INCORRECT_HANDLE_TYPE, nullptr);
            return FALSE;
        }
        // libcurl hands over no response to an https URL but the server's,
        // over TLS: a proxy's own answer to the tunnel ends the transfer.
        Phase phase = h->transfer.phase;
        value = phase == Phase::reading || phase == Phase::ended ? SECURITY_FLAG_SECURE : 0;
    } else if (DWORD *timeout = timeout_of(h, option)) {
        value = *timeout;
    } else {
        set_error(ERROR_INTERNET_INVALID_OPTION, nullptr);
        return FALSE;
    }
    memcpy(buffer, &value, sizeof value);
    *length = sizeof value;
    return TRUE;
}

BOOL WINAPI InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    Handle *h = static_cast<Handle *>(handle);
    if (h == nullptr || h->magic != HANDLE_MAGIC) {
        set_error(ERROR_INVALID_HANDLE, nullptr);
        return FALSE;
    }
    DWORD *timeout = timeout_of(h, option);
    if (timeout == nullptr) {
        set_error(ERROR_INTERNET_INVALID_OPTION, nullptr);
        return FALSE;
    }
    DWORD value = 0;
    if (buffer != nullptr && length == sizeof value) {
        memcpy(&value, buffer, sizeof value);
    }
    // The layer waits for nothing without end: 0 (none) is not a timeout.
    if (value == 0) {
        set_error(ERROR_INVALID_PARAMETER, nullptr);
        return FALSE;
    }
    *timeout = value;
    return TRUE;
}

BOOL WINAPI InternetCloseHandle(HINTERNET handle)
{
    Handle *h = static_cast<Handle *>(handle);
    if (h == nullptr || h->magic != HANDLE_MAGIC) {
        set_error(ERROR_INVALID_HANDLE, nullptr);
        return FALSE;
    }
    // Ends the transfer where it stands: nothing more is taken from the server.
    delete h;
    return TRUE;
}

} // extern "C"
