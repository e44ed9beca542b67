// WinINet on Linux, over libcurl: exactly the synchronous HTTPS calls the
// library makes, with the same contracts.
//
//   InternetOpenA         a session: an agent name, direct or through one HTTP
//                         proxy given as "host:port", with an empty bypass list
//   InternetConnectA      a connection to a server on port 443, service HTTP,
//                         INTERNET_FLAG_SECURE
//   HttpOpenRequestA      a POST to a path; the library's request flags
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
#include <curl/curl.h>
#include <openssl/x509_vfy.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <mutex>
#include <new>

#include "layer.h"

// WinINet's defaults on Windows: 60 s to connect, 30 s without data while
// sending or receiving. A ceiling on the whole exchange, far beyond what an
// honest login server needs, keeps a server that trickles a byte just inside
// the receive timeout from holding a login for days. A test build may set
// shorter ones.
#ifndef KESTA_CONNECT_TIMEOUT_MS
#define KESTA_CONNECT_TIMEOUT_MS 60000
#endif
#ifndef KESTA_RECEIVE_TIMEOUT_MS
#define KESTA_RECEIVE_TIMEOUT_MS 30000
#endif
#ifndef KESTA_EXCHANGE_TIMEOUT_MS
#define KESTA_EXCHANGE_TIMEOUT_MS 180000
#endif

namespace {

using kesta_posix::set_error;

// More header bytes than any login reply has (trailers and 1xx blocks
// included): a server that keeps sending header lines is cut off here.
const size_t HEADER_LIMIT = 64 * 1024;
// The library's request body lives in its 4096-byte buffer.
const DWORD BODY_LIMIT = 4096;
const DWORD REQUEST_FLAGS = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;

enum class Kind { session, connection, request };
const uint32_t HANDLE_MAGIC = 0x6b657374;

// A request's life. Only move_to changes it, and only forward.
enum class Phase {
    opened,  // not sent yet
    waiting, // sent; the response headers are not all in
    reading, // the body is coming: pending holds what the reader has not taken
    ended,   // the transfer ended well: what is pending is all there is
    failed,  // it ended badly: what is pending is handed over first, then error
};

// What a handle hands on to the handles opened from it, so that the three
// may be closed in any order.
struct Target {
    char agent[256] = "";
    char proxy[300] = ""; // "http://host:port", or empty for a direct connection
    char server[256] = "";
    DWORD receive_timeout_ms = KESTA_RECEIVE_TIMEOUT_MS;
    DWORD send_timeout_ms = KESTA_RECEIVE_TIMEOUT_MS;
};

struct Handle {
    uint32_t magic = HANDLE_MAGIC;
    Kind kind;
    Target target;

    // A request's own.
    Phase phase = Phase::opened;
    DWORD error = 0;      // the failure, once failed
    char *path = nullptr; // the request target as it goes on the wire
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    curl_slist *headers = nullptr;
    char url[300] = {};
    char errors[CURL_ERROR_SIZE] = {};
    DWORD body_length = 0;
    size_t header_bytes = 0;
    bool paused = false; // the transfer waits until pending is drained
    char *pending = nullptr;
    size_t pending_length = 0;
    size_t pending_start = 0;
    struct timespec started = {};
    struct timespec last_data = {};

    Handle(Kind k, const Target &t) : kind(k), target(t) {}
    ~Handle()
    {
        if (multi != nullptr && easy != nullptr) {
            curl_multi_remove_handle(multi, easy);
        }
        curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
        curl_slist_free_all(headers);
        free(path);
        free(pending);
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

HINTERNET new_handle(Kind kind, const Target &target)
{
    Handle *h = new (std::nothrow) Handle(kind, target);
    if (h == nullptr) {
        set_error(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    return h;
}

void move_to(Handle *h, Phase next, DWORD error = 0)
{
    if (next > h->phase) {
        h->phase = next;
        h->error = error;
    }
}

long ms_since(const struct timespec &since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// The WinINet code a Windows caller would see for the same failure, and the
// detail that goes with the codes that have no better one.
DWORD map_error(Handle *h, CURLcode rc)
{
    // The proxy refused the tunnel with an answer of its own: the server was
    // never reached, whatever the proxy said.
    long tunnel = 0;
    curl_easy_getinfo(h->easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (tunnel != 0 && (tunnel < 200 || tunnel > 299)) {
        return ERROR_INTERNET_CANNOT_CONNECT;
    }
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
        return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return ERROR_INTERNET_TIMEOUT;
    case CURLE_PEER_FAILED_VERIFICATION: {
        long verify = X509_V_OK;
        curl_easy_getinfo(h->easy, CURLINFO_SSL_VERIFYRESULT, &verify);
        if (verify == X509_V_ERR_CERT_NOT_YET_VALID || verify == X509_V_ERR_CERT_HAS_EXPIRED) {
            return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        }
        // libcurl checks the host name itself, after the chain, and then
        // reports no verify code of its own, only its words: a chain that
        // verified means the name was what failed.
        if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_OK ||
            strstr(h->errors, "subject name") != nullptr) {
            return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        }
        return ERROR_INTERNET_INVALID_CA;
    }
    case CURLE_SSL_CONNECT_ERROR:
        return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    // A body that ends before its Content-Length is a cut connection, not a
    // short reply: a session ID cut with it must not read as a success.
    case CURLE_PARTIAL_FILE:
        // A reset or an abort, as WinINet under Wine reports both.
        return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_WRITE_ERROR: // a callback refused: headers without end, or no memory
        return h->header_bytes > HEADER_LIMIT ? ERROR_HTTP_INVALID_SERVER_RESPONSE
                                              : ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_OUT_OF_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

size_t on_header(char *line, size_t size, size_t count, void *user)
{
    Handle *h = static_cast<Handle *>(user);
    size_t n = size * count;
    clock_gettime(CLOCK_MONOTONIC, &h->last_data);
    h->header_bytes += n;
    if (h->header_bytes > HEADER_LIMIT) {
        return 0; // ends the transfer with a write error
    }
    // A blank line ends a header block; the response's own block is the
    // first with a final status (1xx blocks come before it).
    if ((n == 2 && line[0] == '\r' && line[1] == '\n') || (n == 1 && line[0] == '\n')) {
        long status = 0;
        curl_easy_getinfo(h->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200) {
            move_to(h, Phase::reading);
        }
    }
    return n;
}

// The one way body bytes take: into pending, which the reader drains. While
// pending holds anything the transfer is paused, so that a long reply is not
// taken from the server faster than it is read.
size_t on_body(char *data, size_t size, size_t count, void *user)
{
    Handle *h = static_cast<Handle *>(user);
    size_t n = size * count;
    clock_gettime(CLOCK_MONOTONIC, &h->last_data);
    move_to(h, Phase::reading);
    if (h->pending_start < h->pending_length) {
        h->paused = true;
        return CURL_WRITEFUNC_PAUSE; // libcurl offers the same bytes again later
    }
    char *pending = static_cast<char *>(realloc(h->pending, n > 0 ? n : 1));
    if (pending == nullptr) {
        return 0; // ends the transfer with a write error
    }
    memcpy(pending, data, n);
    h->pending = pending;
    h->pending_length = n;
    h->pending_start = 0;
    return n;
}

// Runs the transfer until done(h) holds or it ends, moving the phase on.
// The send timeout governs until the body is uploaded, the receive timeout
// after; either counts from the last data received or the connection made.
void drive(Handle *h, bool (*done)(const Handle *))
{
    while (!done(h) && h->phase < Phase::ended) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(h->multi, &running);
        if (mc != CURLM_OK) {
            snprintf(h->errors, sizeof h->errors, "%s", curl_multi_strerror(mc));
            move_to(h, Phase::failed, ERROR_INTERNET_INTERNAL_ERROR);
            return;
        }
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(h->multi, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                CURLcode rc = msg->data.result;
                if (rc != CURLE_OK && h->errors[0] == '\0') {
                    snprintf(h->errors, sizeof h->errors, "%s", curl_easy_strerror(rc));
                }
                move_to(h, rc == CURLE_OK ? Phase::ended : Phase::failed,
                        rc == CURLE_OK ? 0 : map_error(h, rc));
            }
        }
        if (done(h) || h->phase >= Phase::ended) {
            return;
        }
        curl_off_t connect_us = 0;
        curl_off_t uploaded = 0;
        curl_easy_getinfo(h->easy, CURLINFO_CONNECT_TIME_T, &connect_us);
        curl_easy_getinfo(h->easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
        long limit = long(uploaded >= curl_off_t(h->body_length) ? h->target.receive_timeout_ms
                                                                 : h->target.send_timeout_ms);
        long since_start = ms_since(h->started);
        long idle = ms_since(h->last_data);
        if (idle > since_start - connect_us / 1000) {
            idle = since_start - long(connect_us / 1000); // the connection is newer
        }
        long remaining = KESTA_EXCHANGE_TIMEOUT_MS - since_start;
        bool connected = connect_us > 0;
        if ((connected && idle >= limit) || remaining <= 0) {
            move_to(h, Phase::failed, ERROR_INTERNET_TIMEOUT);
            return;
        }
        long wait = connected && limit - idle < remaining ? limit - idle : remaining;
        curl_multi_poll(h->multi, nullptr, 0, int(wait < 1000 ? wait : 1000), nullptr);
    }
}

bool response_in(const Handle *h)
{
    return h->phase >= Phase::reading;
}

bool bytes_pending(const Handle *h)
{
    return h->pending_start < h->pending_length;
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

// The extra header lines, CR LF or LF separated; libcurl's own Accept,
// Expect and Content-Type are switched off, as WinINet sends none of them.
bool add_headers(Handle *h, const char *headers, DWORD length)
{
    size_t n = headers == nullptr ? 0 : length == DWORD(-1) ? strlen(headers) : length;
    for (size_t start = 0; start < n;) {
        size_t end = start;
        while (end < n && headers[end] != '\r' && headers[end] != '\n') {
            end++;
        }
        if (end > start) {
            char *line = strndup(headers + start, end - start);
            curl_slist *list = line != nullptr ? curl_slist_append(h->headers, line) : nullptr;
            free(line);
            if (list == nullptr) {
                return false;
            }
            h->headers = list;
        }
        start = end + 1;
    }
    for (const char *removal : {"Accept:", "Expect:", "Content-Type:"}) {
        curl_slist *list = curl_slist_append(h->headers, removal);
        if (list == nullptr) {
            return false;
        }
        h->headers = list;
    }
    return true;
}

// The transfer of one POST over TLS, with certificate and host-name checks
// on and nothing kept for another transfer. The body is not copied: the
// send returns only once libcurl has taken all of it.
bool start_transfer(Handle *h, const char *headers, DWORD headers_length, const void *body)
{
    h->easy = curl_easy_init();
    h->multi = curl_multi_init();
    if (h->easy == nullptr || h->multi == nullptr || !add_headers(h, headers, headers_length)) {
        set_error(ERROR_NOT_ENOUGH_MEMORY, nullptr);
        return false;
    }
    snprintf(h->url, sizeof h->url, "https://%s:443/", h->target.server);
    CURL *e = h->easy;
    curl_easy_setopt(e, CURLOPT_URL, h->url);
    curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, h->path);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, h->errors);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, h->target.agent);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, h->headers);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body != nullptr ? body : "");
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(h->body_length));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    // Only the session's proxy, never the environment's; it is offered no
    // credentials of any kind.
    curl_easy_setopt(e, CURLOPT_PROXY, h->target.proxy);
    if (h->target.proxy[0] != '\0') {
        curl_easy_setopt(e, CURLOPT_PROXYTYPE, long(CURLPROXY_HTTP));
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, long(CURLAUTH_NONE));
        curl_easy_setopt(e, CURLOPT_NOPROXY, "");
        curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, 1L);
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    }
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(KESTA_CONNECT_TIMEOUT_MS));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, h);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, h);
    if (curl_multi_add_handle(h->multi, e) != CURLM_OK) {
        set_error(ERROR_INTERNET_INTERNAL_ERROR, "cannot start the transfer");
        return false;
    }
    clock_gettime(CLOCK_MONOTONIC, &h->started);
    h->last_data = h->started;
    return true;
}

bool body_taken(const Handle *h)
{
    curl_off_t uploaded = 0;
    curl_easy_getinfo(h->easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    return h->phase >= Phase::reading && uploaded >= curl_off_t(h->body_length);
}

DWORD *timeout_of(Handle *h, DWORD option)
{
    return option == INTERNET_OPTION_RECEIVE_TIMEOUT ? &h->target.receive_timeout_ms
           : option == INTERNET_OPTION_SEND_TIMEOUT  ? &h->target.send_timeout_ms
                                                     : nullptr;
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
    static std::once_flag once;
    static CURLcode init = CURLE_OK;
    std::call_once(once, [] { init = curl_global_init(CURL_GLOBAL_DEFAULT); });
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
        (flags & INTERNET_FLAG_SECURE) == 0 || context != 0) {
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
    if (r->phase != Phase::opened) {
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
    r->body_length = optional_length;
    move_to(r, Phase::waiting);
    if (!start_transfer(r, headers, headers_length, optional)) {
        move_to(r, Phase::failed, GetLastError());
        return FALSE;
    }
    drive(r, body_taken);
    if (r->phase == Phase::failed) {
        set_error(r->error, r->error == ERROR_INTERNET_INTERNAL_ERROR ? r->errors : nullptr);
        return FALSE;
    }
    if (r->phase < Phase::reading) {
        // Ended without a final status line and headers.
        set_error(ERROR_HTTP_INVALID_SERVER_RESPONSE, nullptr);
        return FALSE;
    }
    return TRUE;
}

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
    if (!response_in(r)) {
        set_error(ERROR_INTERNET_INCORRECT_HANDLE_STATE, nullptr);
        return FALSE;
    }
    char *out = static_cast<char *>(buffer);
    DWORD placed = 0;
    while (placed < to_read) {
        if (bytes_pending(r)) {
            size_t take = r->pending_length - r->pending_start;
            take = take < to_read - placed ? take : to_read - placed;
            memcpy(out + placed, r->pending + r->pending_start, take);
            r->pending_start += take;
            placed += DWORD(take);
            continue;
        }
        if (r->phase >= Phase::ended) {
            break;
        }
        if (r->paused) {
            r->paused = false;
            // Hands over what libcurl held back, through on_body.
            CURLcode rc = curl_easy_pause(r->easy, CURLPAUSE_CONT);
            if (rc != CURLE_OK) {
                move_to(r, Phase::failed, map_error(r, rc));
                break;
            }
        }
        drive(r, bytes_pending);
    }
    *read = placed;
    // The bytes that arrived are the caller's; a failure comes after them.
    if (placed == 0 && r->phase == Phase::failed) {
        set_error(r->error, r->error == ERROR_INTERNET_INTERNAL_ERROR ? r->errors : nullptr);
        return FALSE;
    }
    return TRUE;
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
        value = h->phase == Phase::reading || h->phase == Phase::ended ? SECURITY_FLAG_SECURE : 0;
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
