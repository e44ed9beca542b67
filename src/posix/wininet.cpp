// WinINet's synchronous HTTP calls on Linux, over libcurl: a session, a
// connection, a request that is sent once and read in pieces, and closes.
// Each request is a transfer of its own on a multi handle of its own, so
// nothing is shared between requests and several threads may log in at once.
#include <ctype.h>
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <mutex>
#include <new>

#include "layer.h"

// WinINet's defaults on Windows: 60 s to connect, 30 s without data while
// sending or receiving. A test build may set shorter ones.
#ifndef KESTA_CONNECT_TIMEOUT_MS
#define KESTA_CONNECT_TIMEOUT_MS 60000
#endif
#ifndef KESTA_RECEIVE_TIMEOUT_MS
#define KESTA_RECEIVE_TIMEOUT_MS 30000
#endif
// A ceiling on the whole exchange, from the send to the last byte read, far
// beyond what any honest login server needs: a server that trickles a byte
// just inside the receive timeout cannot keep a login going for days.
#ifndef KESTA_EXCHANGE_TIMEOUT_MS
#define KESTA_EXCHANGE_TIMEOUT_MS 180000
#endif

// More header bytes than any login reply has (trailers and 1xx blocks
// included): a server that keeps sending header lines is cut off here.
const size_t HEADER_LIMIT = 64 * 1024;

namespace {

using kesta_posix::set_error;

enum class Kind { session, connection, request };
const uint32_t HANDLE_MAGIC = 0x6b657374;

struct Handle {
    uint32_t magic = HANDLE_MAGIC;
    Kind kind;

    // What a request needs of its session and connection is copied into it,
    // so that the three may be closed in any order.
    char *agent = nullptr;
    bool use_proxy = false;
    char *proxy = nullptr;
    char *bypass = nullptr;
    char *server = nullptr;
    INTERNET_PORT port = 0;
    bool secure = false;
    char *verb = nullptr;
    char *object = nullptr;
    bool http10 = false;
    DWORD receive_timeout_ms = KESTA_RECEIVE_TIMEOUT_MS;
    DWORD send_timeout_ms = KESTA_RECEIVE_TIMEOUT_MS;

    // The transfer, once the request has been sent.
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    curl_slist *headers = nullptr;
    char url[300] = {};
    char errors[CURL_ERROR_SIZE] = {};
    bool sent = false;
    bool headers_done = false;
    bool finished = false;
    bool paused = false;
    bool connected = false;
    bool uploaded = false;
    CURLcode result = CURLE_OK;
    DWORD pending_error = 0; // a failure met after bytes were handed out
    struct timespec started = {};
    struct timespec last_activity = {};

    // The reader's buffer while a read is under way, and what the transport
    // delivered beyond it (one piece at most: after that it is paused).
    char *dest = nullptr;
    DWORD room = 0;
    DWORD placed = 0;
    char *spill = nullptr;
    char *body = nullptr; // the transfer's own copy, wiped when it ends
    DWORD body_length = 0;
    size_t header_bytes = 0;
    bool spill_failed = false;
    size_t spill_length = 0;
    size_t spill_start = 0;

    explicit Handle(Kind k) : kind(k) {}
    ~Handle()
    {
        if (multi != nullptr && easy != nullptr) {
            curl_multi_remove_handle(multi, easy);
        }
        curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
        curl_slist_free_all(headers);
        if (body != nullptr) {
            explicit_bzero(body, body_length); // it held the password
        }
        for (char *text : {agent, proxy, bypass, server, verb, object, spill, body}) {
            free(text);
        }
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

// A copy of text, or of fallback when text is null; false when out of memory.
bool copy_text(char **to, const char *text, const char *fallback = nullptr)
{
    const char *from = text != nullptr ? text : fallback;
    if (from == nullptr) {
        *to = nullptr;
        return true;
    }
    *to = strdup(from);
    return *to != nullptr;
}

HINTERNET out_of_memory(Handle *handle)
{
    delete handle;
    set_error(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    return nullptr;
}

long elapsed_ms(const struct timespec &since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

void touch(Handle *h)
{
    clock_gettime(CLOCK_MONOTONIC, &h->last_activity);
}

// The WinINet code a Windows caller would see for the same failure. libcurl's
// own words go with the codes that have no better one.
DWORD map_error(Handle *h, CURLcode rc, const char **detail)
{
    *detail = nullptr;
    // The proxy refused the tunnel with an answer of its own: the server was
    // never reached, whatever the proxy said.
    long tunnel = 0;
    curl_easy_getinfo(h->easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (tunnel != 0 && (tunnel < 200 || tunnel > 299)) {
        return ERROR_INTERNET_CANNOT_CONNECT;
    }
    if (rc == CURLE_WRITE_ERROR && h->header_bytes > HEADER_LIMIT) {
        return ERROR_HTTP_INVALID_SERVER_RESPONSE; // headers without end
    }
    if (rc == CURLE_WRITE_ERROR && h->spill_failed) {
        return ERROR_NOT_ENOUGH_MEMORY;
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
        long verify = 0;
        curl_easy_getinfo(h->easy, CURLINFO_SSL_VERIFYRESULT, &verify);
        if (verify == 9 || verify == 10) { // not yet valid, expired
            return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        }
        // libcurl checks the host name itself, after the chain: a chain that
        // verified means the name was what failed.
        if (verify == 62 || verify == 0 || strstr(h->errors, "subject name") != nullptr) {
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
    case CURLE_OUT_OF_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_URL_MALFORMAT:
        return ERROR_INTERNET_INVALID_URL;
    default:
        *detail = h->errors[0] != '\0' ? h->errors : curl_easy_strerror(rc);
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

void fail_with(Handle *h, CURLcode rc)
{
    const char *detail = nullptr;
    DWORD code = map_error(h, rc, &detail);
    set_error(code, detail);
}

size_t on_header(char *line, size_t size, size_t count, void *user)
{
    Handle *h = static_cast<Handle *>(user);
    size_t n = size * count;
    touch(h);
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
            h->headers_done = true;
        }
    }
    return n;
}

size_t on_body(char *data, size_t size, size_t count, void *user)
{
    Handle *h = static_cast<Handle *>(user);
    size_t n = size * count;
    touch(h);
    h->headers_done = true;
    if (h->spill_start < h->spill_length) {
        // More than the reader asked for is already here: stop taking bytes
        // from the server until it asks again.
        h->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    size_t take = h->room - h->placed < n ? h->room - h->placed : n;
    if (take > 0) {
        memcpy(h->dest + h->placed, data, take);
        h->placed += DWORD(take);
    }
    if (take < n) {
        char *spill = static_cast<char *>(realloc(h->spill, n - take));
        if (spill == nullptr) {
            h->spill_failed = true;
            return 0; // ends the transfer with a write error
        }
        memcpy(spill, data + take, n - take);
        h->spill = spill;
        h->spill_length = n - take;
        h->spill_start = 0;
    }
    return n;
}

int on_progress(void *user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up)
{
    Handle *h = static_cast<Handle *>(user);
    static_assert(sizeof(curl_off_t) == 8, "64-bit counts");
    (void)down;
    if (up >= curl_off_t(h->body_length)) {
        h->uploaded = true; // from here on the receive timeout governs
    }
    if (!h->connected) {
        curl_off_t connect_time = 0;
        curl_easy_getinfo(h->easy, CURLINFO_CONNECT_TIME_T, &connect_time);
        if (connect_time > 0) {
            // The receive clock starts once the connection stands; until then
            // the connect timeout governs.
            h->connected = true;
            touch(h);
        }
    }
    return 0;
}

// Runs the transfer until done(h) holds or it ends. False with the last
// error set when the transport fails or the receive timeout runs out.
bool drive(Handle *h, bool (*done)(const Handle *))
{
    while (!done(h) && !h->finished) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(h->multi, &running);
        if (mc != CURLM_OK) {
            set_error(ERROR_INTERNET_INTERNAL_ERROR, curl_multi_strerror(mc));
            return false;
        }
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(h->multi, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                h->finished = true;
                h->result = msg->data.result;
            }
        }
        if (done(h) || h->finished) {
            break;
        }
        long idle = elapsed_ms(h->last_activity);
        long limit = long(h->uploaded ? h->receive_timeout_ms : h->send_timeout_ms);
        long remaining = KESTA_EXCHANGE_TIMEOUT_MS - elapsed_ms(h->started);
        if ((h->connected && idle >= limit) || remaining <= 0) {
            set_error(ERROR_INTERNET_TIMEOUT, nullptr);
            return false;
        }
        long wait = h->connected && limit - idle < remaining ? limit - idle : remaining;
        curl_multi_poll(h->multi, nullptr, 0, int(wait < 1000 ? wait : 1000), nullptr);
    }
    if (h->finished && h->result != CURLE_OK) {
        fail_with(h, h->result);
        return false;
    }
    return true;
}

bool response_ready(const Handle *h)
{
    return h->headers_done;
}

bool buffer_full(const Handle *h)
{
    return h->placed == h->room || h->paused;
}

// The object as it goes on the request line, the way WinINet writes it: a
// '/' in front when it has none (so no object is the root), backslashes as
// slashes and spaces as %20. Control bytes are escaped too, which WinINet
// does not do: a CR LF in the path must not start a header line of its own.
bool request_target(char **to, const char *object)
{
    const char *from = object != nullptr ? object : "";
    size_t length = strlen(from);
    char *out = static_cast<char *>(malloc(1 + 3 * length + 1));
    if (out == nullptr) {
        return false;
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
    *to = out;
    return true;
}

bool is_name_byte(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Host names and IPv4 addresses only: anything that would change the meaning
// of the URL the transfer is built from (a port, user info, a path, an
// address literal) cannot be a server name.
bool valid_server(const char *server)
{
    if (server[0] == '\0' || strlen(server) > 255) {
        return false;
    }
    for (const char *c = server; *c != '\0'; c++) {
        if (!is_name_byte(*c)) {
            return false;
        }
    }
    return true;
}

// WinINet's proxy text "host:port", here one proxy only: a host name, an IPv4
// address or a bracketed IPv6 address, and a port from 1 to 65535. The URL
// libcurl gets is built from those two parts alone, with its scheme written
// here, so that no scheme, user info or path in the text can reach it.
// Returns 0, or the error for a text of another shape or a failed copy.
DWORD build_proxy(char **to, const char *text)
{
    const char *colon = strrchr(text, ':');
    if (colon == nullptr || colon == text || colon[1] == '\0' || strlen(colon + 1) > 5) {
        return ERROR_INVALID_PARAMETER;
    }
    long port = 0;
    for (const char *c = colon + 1; *c != '\0'; c++) {
        if (*c < '0' || *c > '9') {
            return ERROR_INVALID_PARAMETER;
        }
        port = port * 10 + (*c - '0');
    }
    size_t length = size_t(colon - text);
    bool bracketed = text[0] == '[' && colon[-1] == ']' && length > 2;
    for (size_t i = bracketed ? 1 : 0; i < (bracketed ? length - 1 : length); i++) {
        bool ok = bracketed ? isxdigit(static_cast<unsigned char>(text[i])) || text[i] == ':' ||
                                  text[i] == '.'
                            : is_name_byte(text[i]);
        if (!ok) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    if (port < 1 || port > 65535 || length > 255) {
        return ERROR_INVALID_PARAMETER;
    }
    char url[300];
    snprintf(url, sizeof url, "http://%.*s:%ld", int(length), text, port);
    *to = strdup(url);
    return *to != nullptr ? 0 : ERROR_NOT_ENOUGH_MEMORY;
}

// The extra header lines, CR LF or LF separated; curl's own Accept, Expect
// and Content-Type are switched off unless the caller gave them.
bool add_headers(Handle *h, const char *headers, DWORD length)
{
    size_t n = headers == nullptr ? 0 : length == DWORD(-1) ? strlen(headers) : length;
    size_t start = 0;
    bool ok = true;
    while (ok && start < n) {
        size_t end = start;
        while (end < n && headers[end] != '\r' && headers[end] != '\n') {
            end++;
        }
        if (end > start) {
            char *line = strndup(headers + start, end - start);
            curl_slist *list = line != nullptr ? curl_slist_append(h->headers, line) : nullptr;
            ok = list != nullptr;
            h->headers = ok ? list : h->headers;
            free(line);
        }
        start = end + 1;
    }
    for (const char *name : {"Accept", "Expect", "Content-Type"}) {
        bool given = false;
        for (curl_slist *item = h->headers; item != nullptr; item = item->next) {
            size_t len = strlen(name);
            given = given || (strncasecmp(item->data, name, len) == 0 && item->data[len] == ':');
        }
        char removal[32];
        snprintf(removal, sizeof removal, "%s:", name);
        curl_slist *list = ok && !given ? curl_slist_append(h->headers, removal) : h->headers;
        ok = ok && list != nullptr;
        h->headers = list != nullptr ? list : h->headers;
    }
    return ok;
}

bool set_up_transfer(Handle *h, const char *headers, DWORD headers_length, const void *body,
                     DWORD body_length)
{
    h->easy = curl_easy_init();
    h->multi = curl_multi_init();
    if (h->easy == nullptr || h->multi == nullptr || !add_headers(h, headers, headers_length)) {
        set_error(ERROR_NOT_ENOUGH_MEMORY, nullptr);
        return false;
    }
    snprintf(h->url, sizeof h->url, "%s://%s:%u/", h->secure ? "https" : "http", h->server,
             unsigned(h->port));

    CURL *e = h->easy;
    curl_easy_setopt(e, CURLOPT_URL, h->url);
    // The path goes on the request line exactly as the caller gave it.
    curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, h->object);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                     h->http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, h->errors);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, h->agent);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, h->headers);
    if (strcmp(h->verb, "POST") == 0) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, h->verb);
    }
    if (body != nullptr || strcmp(h->verb, "POST") == 0) {
        // A copy of the transfer's own: the caller may reuse its buffer as
        // soon as the response has begun, before the upload need be done.
        h->body_length = body != nullptr ? body_length : 0;
        h->body = static_cast<char *>(malloc(h->body_length + 1));
        if (h->body == nullptr) {
            set_error(ERROR_NOT_ENOUGH_MEMORY, nullptr);
            return false;
        }
        if (h->body_length > 0) {
            memcpy(h->body, body, h->body_length);
        }
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, h->body);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(h->body_length));
    }

    // Certificate and host-name checks stay on, against the system's store.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);

    // Only what the session was given: the environment's proxy variables
    // are never read, whichever the mode.
    if (h->use_proxy) {
        curl_easy_setopt(e, CURLOPT_PROXY, h->proxy);
        curl_easy_setopt(e, CURLOPT_PROXYTYPE, long(CURLPROXY_HTTP));
        // The proxy is never offered credentials of any kind.
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, long(CURLAUTH_NONE));
        curl_easy_setopt(e, CURLOPT_NOPROXY, h->bypass != nullptr ? h->bypass : "");
        curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, h->secure ? 1L : 0L);
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    } else {
        curl_easy_setopt(e, CURLOPT_PROXY, "");
    }

    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(KESTA_CONNECT_TIMEOUT_MS));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, h);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, h);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, h);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);

    if (curl_multi_add_handle(h->multi, e) != CURLM_OK) {
        set_error(ERROR_INTERNET_INTERNAL_ERROR, "cannot start the transfer");
        return false;
    }
    clock_gettime(CLOCK_MONOTONIC, &h->started);
    touch(h);
    return true;
}

// The timeouts a handle hands on to the handles opened from it.
void inherit_timeouts(Handle *child, const Handle *parent)
{
    child->receive_timeout_ms = parent->receive_timeout_ms;
    child->send_timeout_ms = parent->send_timeout_ms;
}

DWORD *timeout_of(Handle *h, DWORD option)
{
    return option == INTERNET_OPTION_RECEIVE_TIMEOUT ? &h->receive_timeout_ms
           : option == INTERNET_OPTION_SEND_TIMEOUT  ? &h->send_timeout_ms
                                                     : nullptr;
}

} // namespace

extern "C" {

HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD access_type, LPCSTR proxy, LPCSTR proxy_bypass,
                               DWORD flags)
{
    // Asynchronous sessions and the system's preconfigured proxy are not
    // offered: the library reads no configuration.
    if (flags != 0 ||
        (access_type != INTERNET_OPEN_TYPE_DIRECT && access_type != INTERNET_OPEN_TYPE_PROXY) ||
        (access_type == INTERNET_OPEN_TYPE_PROXY && (proxy == nullptr || proxy[0] == '\0'))) {
        set_error(ERROR_INVALID_PARAMETER, nullptr);
        return nullptr;
    }
    static std::once_flag once;
    static CURLcode init = CURLE_OK;
    std::call_once(once, [] { init = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (init != CURLE_OK) {
        set_error(ERROR_INTERNET_INTERNAL_ERROR, curl_easy_strerror(init));
        return nullptr;
    }

    Handle *h = new (std::nothrow) Handle(Kind::session);
    if (h == nullptr) {
        return out_of_memory(h);
    }
    h->use_proxy = access_type == INTERNET_OPEN_TYPE_PROXY;
    DWORD problem = h->use_proxy ? build_proxy(&h->proxy, proxy) : 0;
    if (problem != 0) {
        delete h;
        set_error(problem, nullptr);
        return nullptr;
    }
    if (!copy_text(&h->agent, agent) || (h->use_proxy && !copy_text(&h->bypass, proxy_bypass))) {
        return out_of_memory(h);
    }
    return h;
}

HINTERNET WINAPI InternetConnectA(HINTERNET session, LPCSTR server, INTERNET_PORT port, LPCSTR user,
                                  LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context)
{
    (void)context;
    Handle *s = as_handle(session, Kind::session);
    if (s == nullptr) {
        return nullptr;
    }
    if (server == nullptr || server[0] == '\0' || service != INTERNET_SERVICE_HTTP ||
        user != nullptr || password != nullptr) {
        set_error(ERROR_INVALID_PARAMETER, nullptr);
        return nullptr;
    }
    Handle *c = new (std::nothrow) Handle(Kind::connection);
    if (c == nullptr) {
        return out_of_memory(c);
    }
    c->use_proxy = s->use_proxy;
    inherit_timeouts(c, s);
    c->port = port;
    c->secure = (flags & INTERNET_FLAG_SECURE) != 0;
    if (!copy_text(&c->agent, s->agent) || !copy_text(&c->proxy, s->proxy) ||
        !copy_text(&c->bypass, s->bypass) || !copy_text(&c->server, server)) {
        return out_of_memory(c);
    }
    return c;
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR object, LPCSTR version,
                                  LPCSTR referrer, LPCSTR *accept_types, DWORD flags,
                                  DWORD_PTR context)
{
    (void)context;
    Handle *c = as_handle(connection, Kind::connection);
    if (c == nullptr) {
        return nullptr;
    }
    bool http10 = version != nullptr && strcmp(version, "HTTP/1.0") == 0;
    if ((version != nullptr && !http10 && strcmp(version, "HTTP/1.1") != 0) ||
        referrer != nullptr || accept_types != nullptr) {
        set_error(ERROR_INVALID_PARAMETER, nullptr);
        return nullptr;
    }
    Handle *r = new (std::nothrow) Handle(Kind::request);
    if (r == nullptr) {
        return out_of_memory(r);
    }
    r->use_proxy = c->use_proxy;
    inherit_timeouts(r, c);
    r->port = c->port;
    r->secure = c->secure || (flags & INTERNET_FLAG_SECURE) != 0;
    r->http10 = http10;
    // No verb means GET, as in WinINet.
    if (!copy_text(&r->agent, c->agent) || !copy_text(&r->proxy, c->proxy) ||
        !copy_text(&r->bypass, c->bypass) || !copy_text(&r->server, c->server) ||
        !copy_text(&r->verb, verb, "GET") || !request_target(&r->object, object)) {
        return out_of_memory(r);
    }
    return r;
}

BOOL WINAPI HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headers_length,
                             LPVOID optional, DWORD optional_length)
{
    Handle *r = as_handle(request, Kind::request);
    if (r == nullptr) {
        return FALSE;
    }
    if (r->sent) {
        set_error(ERROR_INVALID_PARAMETER, "a request is sent once");
        return FALSE;
    }
    if (!valid_server(r->server)) {
        set_error(ERROR_INTERNET_NAME_NOT_RESOLVED, nullptr);
        return FALSE;
    }
    r->sent = true;
    if (!set_up_transfer(r, headers, headers_length, optional, optional_length)) {
        return FALSE;
    }
    if (!drive(r, response_ready)) {
        return FALSE;
    }
    if (!r->headers_done) {
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
    if (!r->sent || !r->headers_done) {
        set_error(12019, nullptr); // ERROR_INTERNET_INCORRECT_HANDLE_STATE
        return FALSE;
    }

    r->dest = static_cast<char *>(buffer);
    r->room = to_read;
    r->placed = 0;
    size_t spilled = r->spill_length - r->spill_start;
    size_t take = spilled < to_read ? spilled : to_read;
    if (take > 0) {
        memcpy(r->dest, r->spill + r->spill_start, take);
        r->spill_start += take;
    }
    r->placed = DWORD(take);

    bool ok = true;
    if (r->pending_error != 0 && r->placed == 0) {
        set_error(r->pending_error, nullptr);
        ok = false;
    } else if (r->placed < r->room) {
        if (r->paused) {
            r->paused = false;
            // Hands over what it held, through on_body, which may fail.
            CURLcode rc = curl_easy_pause(r->easy, CURLPAUSE_CONT);
            if (rc != CURLE_OK) {
                fail_with(r, rc);
                ok = false;
            }
        }
        ok = ok && drive(r, buffer_full);
    }
    *read = r->placed;
    r->dest = nullptr;
    r->room = 0;
    if (!ok && r->placed > 0) {
        // The bytes that arrived are the caller's; the failure comes next.
        r->pending_error = GetLastError();
        return TRUE;
    }
    return ok ? TRUE : FALSE;
}

// Options: the send and receive timeouts of any handle, and a request's
// security flags, which say whether its response came over TLS.
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
        // through TLS: a proxy's own answer to the tunnel ends the transfer.
        value = h->secure && h->headers_done ? SECURITY_FLAG_SECURE : 0;
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
    if (buffer == nullptr || length != sizeof value) {
        set_error(ERROR_INVALID_PARAMETER, nullptr);
        return FALSE;
    }
    memcpy(&value, buffer, sizeof value);
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
