// WinINet on Linux, over libcurl: exactly the synchronous HTTPS calls the
// library makes, with the same contracts.
//
//   InternetOpenA         a session: an agent name, direct or through one HTTP
//                         proxy given as "host:port", with an empty bypass list
//   InternetConnectA      a connection to a server on port 443, service HTTP,
//                         INTERNET_FLAG_SECURE
//   HttpOpenRequestA      a POST to a path, with the library's request flags
//   HttpSendRequestA      the whole exchange, once: extra header lines and a
//                         body of at most 4096 bytes out, the response and
//                         the first 4096 bytes of its body in
//   InternetReadFile      hands out those bytes, then the end of the body or
//                         the failure that ended the exchange
//   InternetQueryOptionA  the send and receive timeouts; a request's security
//   InternetSetOptionA    flags (SECURITY_FLAG_SECURE once its response is in)
//   InternetCloseHandle   closes any handle, in any order
//
// Anything else is refused with ERROR_INVALID_PARAMETER: asynchronous or
// preconfigured sessions, bypass lists, user names, plain http, other ports,
// verbs, HTTP versions, referrers, accept types and flags. The server, path
// and proxy were judged by the library before they came here, and go on as
// they are. Certificates are always checked; no environment variable or file
// of the caller's is read. Requests share nothing but the trust store, so
// several threads may log in at once.
#include <curl/curl.h>
#include <openssl/x509_vfy.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <initializer_list>
#include <new>

#include "../exchange.h"
#include "layer.h"
#include "trust.h"

// WinINet's defaults on Windows: 60 s to connect, 30 s without data while
// sending or receiving (libcurl counts the TLS handshake as connecting). A
// ceiling on the whole exchange, far beyond what an honest login server
// needs, keeps a server that trickles a byte just inside the receive timeout
// from holding a login for days. A test build of the layer may set shorter
// ones.
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

using kesta::BUFFER_SIZE;
using kesta_posix::set_error;

// More header bytes than any login reply has (trailers and 1xx blocks
// included): a server that keeps sending header lines is cut off here.
const size_t HEADER_LIMIT = 64 * 1024;
// TLS and no redirects are what this layer is: it implements neither plain
// HTTP nor following a redirect.
const DWORD REQUIRED_FLAGS = INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT;

// Where a request goes and how long it may wait. A session and a connection
// hand theirs on to the handles opened from them, so that the three may be
// closed in any order.
struct Target {
    char agent[256] = "";
    char proxy[300] = ""; // "http://host:port", or empty for a direct connection
    char server[256] = "";
    DWORD receive_timeout_ms = KESTA_RECEIVE_TIMEOUT_MS;
    DWORD send_timeout_ms = KESTA_RECEIVE_TIMEOUT_MS;
};

enum class Kind { any, session, connection, request };
const uint32_t HANDLE_MAGIC = 0x6b657374;

struct Handle {
    uint32_t magic = HANDLE_MAGIC;
    Kind kind;
    Target target;
    // A request's own: its path as it goes on the wire, and what its one
    // exchange brought: whether the response came (over TLS, from the
    // server: libcurl hands over no other response to an https URL), the
    // first bytes of its body, and the failure that ended it.
    char *path = nullptr;
    bool sent = false;
    bool response = false;
    DWORD error = 0; // handed out after the body's bytes
    char errors[CURL_ERROR_SIZE] = {};
    char body[BUFFER_SIZE];
    DWORD length = 0;
    DWORD taken = 0;
    bool cut = false; // the body went on beyond what is kept
    // While the exchange runs: its handle, the header bytes so far, the
    // body's size, when it began and when data last came.
    CURL *easy = nullptr;
    size_t header_bytes = 0;
    DWORD body_length = 0;
    struct timespec started = {};
    struct timespec last_data = {};

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
    if (kind != Kind::any && handle->kind != kind) {
        set_error(ERROR_INTERNET_INCORRECT_HANDLE_TYPE, nullptr);
        return nullptr;
    }
    return handle;
}

template <class T> T fail(T none, DWORD code, const char *detail = nullptr)
{
    set_error(code, code == ERROR_INTERNET_INTERNAL_ERROR ? detail : nullptr);
    return none;
}

Handle *new_handle(Kind kind, const Target &target)
{
    Handle *h = new (std::nothrow) Handle(kind, target);
    return h != nullptr ? h : fail<Handle *>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
}

// The path as it goes on the request line, the way WinINet writes it: a '/'
// in front when it has none (so no path is the root), backslashes as slashes
// and spaces as %20, and so every byte that would end the line.
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

// The WinINet code a Windows caller would see for each way an exchange ends:
// libcurl's code, and for a certificate that failed its check, the chain's
// verify result. Anything else is an internal error with libcurl's words.
struct Code {
    long from;
    DWORD to;
};

const Code CURL_CODES[] = {
    {CURLE_URL_MALFORMAT, ERROR_INTERNET_NAME_NOT_RESOLVED}, // a name with no form as a host name
    {CURLE_COULDNT_RESOLVE_HOST, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_RESOLVE_PROXY, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_CONNECT, ERROR_INTERNET_CANNOT_CONNECT},
    {CURLE_OPERATION_TIMEDOUT, ERROR_INTERNET_TIMEOUT},
    {CURLE_ABORTED_BY_CALLBACK, ERROR_INTERNET_TIMEOUT}, // only ever a wait that ran out
    {CURLE_SSL_CACERT_BADFILE,
     ERROR_INTERNET_INVALID_CA}, // a store that cannot be read trusts no one
    {CURLE_SSL_CONNECT_ERROR, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    // A reset or an abort, as Wine reports both; a body that ends before its
    // Content-Length is a cut connection too, not a short reply.
    {CURLE_SEND_ERROR, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_RECV_ERROR, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_PARTIAL_FILE, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_GOT_NOTHING, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_WEIRD_SERVER_REPLY, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_WRITE_ERROR, ERROR_HTTP_INVALID_SERVER_RESPONSE}, // only ever headers without end
    {CURLE_OUT_OF_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
};

// libcurl compares the host name itself once the chain has verified, before
// it records the chain's result: a failure whose result is still OK, or
// still libcurl's mark for "not recorded yet", had the wrong name. A
// certificate wrong for any reason not listed (a purpose it is not for, a
// key too weak, a bad signature) is invalid.
const Code VERIFY_CODES[] = {
    {X509_V_OK, ERROR_INTERNET_SEC_CERT_CN_INVALID},
    {X509_V_ERR_UNSPECIFIED, ERROR_INTERNET_SEC_CERT_CN_INVALID},
    {X509_V_ERR_HOSTNAME_MISMATCH, ERROR_INTERNET_SEC_CERT_CN_INVALID},
    {X509_V_ERR_IP_ADDRESS_MISMATCH, ERROR_INTERNET_SEC_CERT_CN_INVALID},
    {X509_V_ERR_CERT_NOT_YET_VALID, ERROR_INTERNET_SEC_CERT_DATE_INVALID},
    {X509_V_ERR_CERT_HAS_EXPIRED, ERROR_INTERNET_SEC_CERT_DATE_INVALID},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, ERROR_INTERNET_INVALID_CA},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, ERROR_INTERNET_INVALID_CA},
    {X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, ERROR_INTERNET_INVALID_CA},
    {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, ERROR_INTERNET_INVALID_CA},
    {X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, ERROR_INTERNET_INVALID_CA},
    {X509_V_ERR_CERT_UNTRUSTED, ERROR_INTERNET_INVALID_CA},
};

template <size_t N> DWORD code_for(const Code (&table)[N], long from, DWORD otherwise)
{
    for (const Code &c : table) {
        if (c.from == from) {
            return c.to;
        }
    }
    return otherwise;
}

DWORD map_error(CURL *easy, CURLcode rc)
{
    // The proxy refused the tunnel with an answer of its own: the server was
    // never reached, whatever the proxy said.
    long tunnel = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (tunnel != 0 && (tunnel < 200 || tunnel > 299)) {
        return ERROR_INTERNET_CANNOT_CONNECT;
    }
    if (rc == CURLE_PEER_FAILED_VERIFICATION) {
        long verify = X509_V_OK;
        curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
        return code_for(VERIFY_CODES, verify, ERROR_INTERNET_SEC_INVALID_CERT);
    }
    return code_for(CURL_CODES, rc, ERROR_INTERNET_INTERNAL_ERROR);
}

long ms_since(const struct timespec &since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

size_t on_header(char *line, size_t size, size_t count, void *user)
{
    Handle &r = *static_cast<Handle *>(user);
    size_t n = size * count;
    clock_gettime(CLOCK_MONOTONIC, &r.last_data);
    r.header_bytes += n;
    if (r.header_bytes > HEADER_LIMIT) {
        return 0; // ends the exchange with a write error
    }
    // A blank line ends a header block; the response's own block is the
    // first with a final status (1xx blocks come before it).
    if ((n == 2 && line[0] == '\r' && line[1] == '\n') || (n == 1 && line[0] == '\n')) {
        long status = 0;
        curl_easy_getinfo(r.easy, CURLINFO_RESPONSE_CODE, &status);
        r.response = r.response || status >= 200;
    }
    return n;
}

// Keeps the body's first bytes, as many as the library can read; a body
// that goes on is cut off there, and nothing more is taken from the server.
size_t on_body(char *data, size_t size, size_t count, void *user)
{
    Handle &r = *static_cast<Handle *>(user);
    size_t n = size * count;
    size_t kept = n < BUFFER_SIZE - r.length ? n : BUFFER_SIZE - r.length;
    clock_gettime(CLOCK_MONOTONIC, &r.last_data);
    r.response = true;
    memcpy(r.body + r.length, data, kept);
    r.length += DWORD(kept);
    r.cut = kept < n;
    return r.cut ? 0 : n;
}

// The send timeout governs until the body is out, the receive timeout
// after; either counts from the last data received or the connection made,
// whichever is later. Connecting, the TLS handshake and a proxy's tunnel
// included, has libcurl's own timeout, the whole exchange its ceiling.
// libcurl asks about once a second while it waits.
int on_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    const Handle &r = *static_cast<const Handle *>(user);
    curl_off_t connect_us = 0;
    curl_easy_getinfo(r.easy, CURLINFO_CONNECT_TIME_T, &connect_us);
    if (connect_us == 0) {
        return 0;
    }
    long since_connect = ms_since(r.started) - long(connect_us / 1000);
    long since_data = ms_since(r.last_data);
    long idle = since_data < since_connect ? since_data : since_connect;
    DWORD limit = uploaded >= curl_off_t(r.body_length) ? r.target.receive_timeout_ms
                                                        : r.target.send_timeout_ms;
    return idle >= long(limit);
}

bool append(curl_slist **list, const char *line)
{
    curl_slist *longer = line != nullptr ? curl_slist_append(*list, line) : nullptr;
    *list = longer != nullptr ? longer : *list;
    return longer != nullptr;
}

// The extra header lines, CR LF or LF separated; libcurl's own Accept,
// Expect and Content-Type are switched off, as WinINet sends none of them.
bool add_headers(curl_slist **list, const char *headers, DWORD length)
{
    size_t n = headers == nullptr ? 0 : length == DWORD(-1) ? strlen(headers) : length;
    for (size_t start = 0; start < n;) {
        size_t end = start;
        while (end < n && headers[end] != '\r' && headers[end] != '\n') {
            end++;
        }
        char *line = end > start ? strndup(headers + start, end - start) : nullptr;
        bool added = end == start || append(list, line);
        free(line);
        if (!added) {
            return false;
        }
        start = end + 1;
    }
    return append(list, "Accept:") && append(list, "Expect:") && append(list, "Content-Type:");
}

// One POST over TLS with certificate and host-name checks on, run to its
// end: the code it failed with, or 0.
DWORD run(Handle &r, const char *headers, DWORD headers_length, const void *body, DWORD body_length)
{
    const Target &target = r.target;
    curl_slist *lines = nullptr;
    CURL *e = r.easy = curl_easy_init();
    if (e == nullptr || !add_headers(&lines, headers, headers_length)) {
        curl_slist_free_all(lines);
        curl_easy_cleanup(e);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    char url[300];
    snprintf(url, sizeof url, "https://%s:%u/", target.server, unsigned(kesta::SERVER_PORT));
    curl_easy_setopt(e, CURLOPT_URL, url);
    curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, r.path);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.errors);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, target.agent);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, lines);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body != nullptr ? body : "");
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(body_length));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L); // a 3xx reply is the reply
    // Only the session's proxy, never the environment's; it is offered no
    // credentials of any kind.
    curl_easy_setopt(e, CURLOPT_PROXY, target.proxy);
    if (target.proxy[0] != '\0') {
        curl_easy_setopt(e, CURLOPT_PROXYTYPE, long(CURLPROXY_HTTP));
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, long(CURLAUTH_NONE));
        curl_easy_setopt(e, CURLOPT_NOPROXY, "");
        curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, 1L);
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    }
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(KESTA_CONNECT_TIMEOUT_MS));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, long(KESTA_EXCHANGE_TIMEOUT_MS));
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    for (CURLoption data : {CURLOPT_XFERINFODATA, CURLOPT_HEADERDATA, CURLOPT_WRITEDATA}) {
        curl_easy_setopt(e, data, &r);
    }
    kesta_posix::TrustStore *trust = kesta_posix::attach_trust(e);

    r.body_length = body_length;
    clock_gettime(CLOCK_MONOTONIC, &r.started);
    r.last_data = r.started;
    CURLcode rc = curl_easy_perform(e);
    // The cut is this layer's own doing, not a failure of the exchange.
    DWORD code = rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && r.cut) ? 0 : map_error(e, rc);
    if (r.errors[0] == '\0') {
        snprintf(r.errors, sizeof r.errors, "%s", curl_easy_strerror(rc));
    }
    curl_easy_cleanup(e);
    kesta_posix::release_trust(trust);
    curl_slist_free_all(lines);
    r.easy = nullptr;
    return code;
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
                   proxy[0] != '\0' && (proxy_bypass == nullptr || proxy_bypass[0] == '\0');
    if (flags != 0 || !(direct || proxied) || agent == nullptr ||
        strlen(agent) >= sizeof target.agent ||
        (proxied && strlen(proxy) >= sizeof target.proxy - strlen("http://"))) {
        return fail<HINTERNET>(nullptr, ERROR_INVALID_PARAMETER);
    }
    snprintf(target.agent, sizeof target.agent, "%s", agent);
    // The scheme is written here, so the text is only ever a host and port.
    if (proxied) {
        snprintf(target.proxy, sizeof target.proxy, "http://%s", proxy);
    }
    CURLcode init = curl_global().code;
    if (init != CURLE_OK) {
        return fail<HINTERNET>(nullptr, ERROR_INTERNET_INTERNAL_ERROR, curl_easy_strerror(init));
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
    if (server == nullptr || server[0] == '\0' || port != kesta::SERVER_PORT || user != nullptr ||
        password != nullptr || service != INTERNET_SERVICE_HTTP || flags != INTERNET_FLAG_SECURE ||
        context != 0) {
        return fail<HINTERNET>(nullptr, ERROR_INVALID_PARAMETER);
    }
    Target target = s->target;
    // A name longer than any host name fails as an unknown one would, at
    // the send.
    if (strlen(server) < sizeof target.server) {
        snprintf(target.server, sizeof target.server, "%s", server);
    }
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
        accept_types != nullptr || (flags & ~kesta::REQUEST_FLAGS) != 0 ||
        (flags & REQUIRED_FLAGS) != REQUIRED_FLAGS || context != 0) {
        return fail<HINTERNET>(nullptr, ERROR_INVALID_PARAMETER);
    }
    char *path = request_target(object);
    Handle *r = path != nullptr ? new_handle(Kind::request, c->target) : nullptr;
    if (r == nullptr) {
        free(path);
        return fail<HINTERNET>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
    }
    r->path = path;
    return r;
}

// Runs the whole exchange. A failure before the response is the send's; one
// after it comes with the read after the body's bytes, as WinINet hands
// over what arrived before a connection broke. The body is not copied: the
// caller has it back once this returns.
BOOL WINAPI HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headers_length,
                             LPVOID optional, DWORD optional_length)
{
    Handle *r = as_handle(request, Kind::request);
    if (r == nullptr) {
        return FALSE;
    }
    if (r->sent || optional_length > BUFFER_SIZE || (optional == nullptr && optional_length > 0)) {
        return fail<BOOL>(FALSE, ERROR_INVALID_PARAMETER); // a request is sent once
    }
    r->sent = true;
    if (r->target.server[0] == '\0') {
        return fail<BOOL>(FALSE, ERROR_INTERNET_NAME_NOT_RESOLVED);
    }
    r->error = run(*r, headers, headers_length, optional, optional_length);
    return r->response || r->error == 0 ? TRUE : fail<BOOL>(FALSE, r->error, r->errors);
}

BOOL WINAPI InternetReadFile(HINTERNET file, LPVOID buffer, DWORD to_read, LPDWORD read)
{
    Handle *r = as_handle(file, Kind::request);
    if (r == nullptr) {
        return FALSE;
    }
    if (read == nullptr || (buffer == nullptr && to_read > 0)) {
        return fail<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
    }
    *read = 0;
    if (!r->response) {
        return fail<BOOL>(FALSE, ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    DWORD n = r->length - r->taken < to_read ? r->length - r->taken : to_read;
    memcpy(buffer, r->body + r->taken, n);
    r->taken += n;
    *read = n;
    if (n > 0 || to_read == 0) {
        return TRUE;
    }
    if (r->error != 0) {
        return fail<BOOL>(FALSE, r->error, r->errors);
    }
    // Never an end that is not there: past what was kept, the body went on.
    return r->cut ? fail<BOOL>(FALSE, ERROR_INTERNET_INTERNAL_ERROR,
                               "the body goes on beyond 4096 bytes")
                  : TRUE;
}

BOOL WINAPI InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length)
{
    Handle *h = as_handle(handle, Kind::any);
    if (h == nullptr) {
        return FALSE;
    }
    if (buffer == nullptr || length == nullptr || *length < sizeof(DWORD)) {
        return fail<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
    }
    DWORD value = 0;
    if (option == INTERNET_OPTION_SECURITY_FLAGS) {
        if (h->kind != Kind::request) {
            return fail<BOOL>(FALSE, ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        }
        value = h->response ? SECURITY_FLAG_SECURE : 0;
    } else if (DWORD *timeout = timeout_of(h, option)) {
        value = *timeout;
    } else {
        return fail<BOOL>(FALSE, ERROR_INTERNET_INVALID_OPTION);
    }
    memcpy(buffer, &value, sizeof value);
    *length = sizeof value;
    return TRUE;
}

BOOL WINAPI InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    Handle *h = as_handle(handle, Kind::any);
    if (h == nullptr) {
        return FALSE;
    }
    DWORD *timeout = timeout_of(h, option);
    if (timeout == nullptr) {
        return fail<BOOL>(FALSE, ERROR_INTERNET_INVALID_OPTION);
    }
    DWORD value = 0;
    if (buffer != nullptr && length == sizeof value) {
        memcpy(&value, buffer, sizeof value);
    }
    // The layer waits for nothing without end: 0 (none) is not a timeout.
    if (value == 0) {
        return fail<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
    }
    *timeout = value;
    return TRUE;
}

BOOL WINAPI InternetCloseHandle(HINTERNET handle)
{
    Handle *h = as_handle(handle, Kind::any);
    delete h;
    return h != nullptr;
}

} // extern "C"
