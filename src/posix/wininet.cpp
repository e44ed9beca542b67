// WinINet on Linux, over libcurl: the one login the library makes, and no
// other use of WinINet. The three handles are one Login, which the calls
// move through in the library's order: InternetOpenA (the agent, and a
// proxy's "host:port" with an empty bypass list), InternetConnectA (the
// server), HttpOpenRequestA (the path), HttpSendRequestA (the whole
// exchange: the header line and body out, the response and the first 4096
// bytes of its body in), InternetReadFile (those bytes, then the body's end
// or the failure that ended the exchange); the last close ends it. Each
// call takes exactly what the library passes (src/exchange.h) and refuses
// anything else. The server, path and proxy were judged by the library and
// go on as they are. Certificates are always checked; no variable or file
// of the caller's is read. Logins share only the trust store.
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

namespace {

using kesta::BUFFER_SIZE;
using kesta_posix::Entry;
using kesta_posix::lookup;
using kesta_posix::set_error;

// The build's timeouts (KESTA_TIMEOUTS_MS in CMakeLists.txt says why each).
const long CONNECT_TIMEOUT_MS = KESTA_CONNECT_TIMEOUT_MS;
const DWORD IDLE_TIMEOUT_MS = KESTA_RECEIVE_TIMEOUT_MS;
const long EXCHANGE_TIMEOUT_MS = KESTA_EXCHANGE_TIMEOUT_MS;

// More header bytes than any login reply has (trailers and 1xx blocks
// included): a server that keeps sending header lines is cut off here.
const size_t HEADER_LIMIT = 64 * 1024;

struct Login {
    enum Stage { OPENED, CONNECTED, REQUESTED, SENT } stage = OPENED;
    int handles = 1; // handed out and not yet closed
    char agent[256] = "";
    char proxy[300] = "";  // "http://host:port", or empty for a direct login
    char server[256] = ""; // empty: a name longer than any host name
    char *path = nullptr;  // as it goes on the request line
    // What the exchange brought: whether the response came (from the server
    // over TLS: libcurl hands over no other to an https URL), the body's
    // first bytes, and the failure that ended it.
    bool response = false;
    DWORD error = 0; // handed out after the body's bytes
    char errors[CURL_ERROR_SIZE] = "";
    char body[BUFFER_SIZE];
    DWORD length = 0;
    DWORD taken = 0;
    bool cut = false; // the body went on beyond what is kept
    kesta_posix::Tls tls;
    // While the exchange runs.
    CURL *easy = nullptr;
    size_t header_bytes = 0;
    struct timespec started = {};
    struct timespec last_data = {};

    ~Login() { free(path); }
};

template <class T> T fail(T none, DWORD code, const char *detail = nullptr)
{
    set_error(code, code == ERROR_INTERNET_INTERNAL_ERROR ? detail : nullptr);
    return none;
}

// The login behind a handle, when the call comes at its stage with the
// library's arguments (library); otherwise null, and the call's error.
Login *at(HINTERNET handle, Login::Stage stage, bool library)
{
    Login *login = static_cast<Login *>(handle);
    DWORD error = login == nullptr        ? ERROR_INVALID_HANDLE
                  : login->stage != stage ? ERROR_INTERNET_INCORRECT_HANDLE_STATE
                  : !library              ? ERROR_INVALID_PARAMETER
                                          : 0;
    return error == 0 ? login : fail<Login *>(nullptr, error);
}

// The same login, once more, as the handle the next call takes.
HINTERNET next(Login *login, Login::Stage stage)
{
    login->stage = stage;
    login->handles++;
    return login;
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

// The WinINet code a Windows caller would see for each way an exchange ends
// (anything else is an internal error with libcurl's words). A name with no
// form as a host name is one not found; the callback aborts only for a wait
// that ran out; a store that cannot be read trusts no one; a reset, an abort
// (as Wine reports both) and a body shorter than its Content-Length are a cut
// connection; a write error is only ever headers without end.
const Entry<DWORD> CURL_CODES[] = {
    {CURLE_URL_MALFORMAT, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_RESOLVE_HOST, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_RESOLVE_PROXY, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_CONNECT, ERROR_INTERNET_CANNOT_CONNECT},
    {CURLE_OPERATION_TIMEDOUT, ERROR_INTERNET_TIMEOUT},
    {CURLE_ABORTED_BY_CALLBACK, ERROR_INTERNET_TIMEOUT},
    {CURLE_SSL_CACERT_BADFILE, ERROR_INTERNET_INVALID_CA},
    {CURLE_SSL_CONNECT_ERROR, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SEND_ERROR, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_RECV_ERROR, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_PARTIAL_FILE, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_GOT_NOTHING, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_WEIRD_SERVER_REPLY, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_WRITE_ERROR, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_OUT_OF_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
};

// libcurl compares the host name itself once the chain has verified, before
// it records the chain's result: a failure whose result is still OK, or
// still libcurl's mark for "not recorded yet", had the wrong name. A
// certificate wrong for any reason not listed (a purpose it is not for, a
// key too weak, a bad signature) is invalid.
const Entry<DWORD> VERIFY_CODES[] = {
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

DWORD map_error(const Login &r, CURLcode rc)
{
    CURL *easy = r.easy;
    // The proxy refused the tunnel with an answer of its own: the server was
    // never reached, whatever the proxy said.
    long tunnel = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (tunnel != 0 && (tunnel < 200 || tunnel > 299)) {
        return ERROR_INTERNET_CANNOT_CONNECT;
    }
    if (r.tls.revoked) {
        return ERROR_INTERNET_SEC_CERT_REVOKED;
    }
    if (rc == CURLE_PEER_FAILED_VERIFICATION) {
        long verify = X509_V_OK;
        curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
        return lookup(VERIFY_CODES, verify, DWORD(ERROR_INTERNET_SEC_INVALID_CERT));
    }
    return lookup(CURL_CODES, rc, DWORD(ERROR_INTERNET_INTERNAL_ERROR));
}

long ms_since(const struct timespec &since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

size_t on_header(char *line, size_t size, size_t count, void *user)
{
    Login &r = *static_cast<Login *>(user);
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
    Login &r = *static_cast<Login *>(user);
    size_t n = size * count;
    size_t kept = n < BUFFER_SIZE - r.length ? n : BUFFER_SIZE - r.length;
    clock_gettime(CLOCK_MONOTONIC, &r.last_data);
    r.response = true;
    memcpy(r.body + r.length, data, kept);
    r.length += DWORD(kept);
    r.cut = kept < n;
    return r.cut ? 0 : n;
}

// Once connected, the exchange may go without data, sending or receiving,
// for the idle timeout, counted from the last data received or the
// connection made, whichever is later. libcurl asks about once a second.
int on_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const Login &r = *static_cast<const Login *>(user);
    curl_off_t connect_us = 0;
    curl_easy_getinfo(r.easy, CURLINFO_CONNECT_TIME_T, &connect_us);
    if (connect_us == 0) {
        return 0;
    }
    long since_connect = ms_since(r.started) - long(connect_us / 1000);
    long since_data = ms_since(r.last_data);
    return (since_data < since_connect ? since_data : since_connect) >= long(IDLE_TIMEOUT_MS);
}

// The header line without its CR LF, into line, when headers are one line,
// "Name: value" and its CR LF, as the library sends; anything more is not.
bool one_line(const char *headers, DWORD length, char (&line)[256])
{
    size_t n = headers == nullptr ? 0 : strlen(headers);
    return n >= 2 && n - 2 < sizeof line && (length == DWORD(-1) || length == n) &&
           strcspn(headers, "\r\n") == n - 2 && strcmp(headers + n - 2, "\r\n") == 0 &&
           snprintf(line, sizeof line, "%.*s", int(n - 2), headers) > 0;
}

// One POST over TLS with certificate and host-name checks on, run to its
// end: the code it failed with, or 0.
DWORD run(Login &r, const char *line, const void *body, DWORD body_length)
{
    // libcurl's own Accept, Expect and Content-Type are switched off, as
    // WinINet sends none of them.
    CURL *e = r.easy = curl_easy_init();
    curl_slist *lines = nullptr;
    bool built = e != nullptr;
    for (const char *l : {line, "Accept:", "Expect:", "Content-Type:"}) {
        curl_slist *longer = built ? curl_slist_append(lines, l) : nullptr;
        built = longer != nullptr;
        lines = built ? longer : lines;
    }
    if (!built) {
        curl_slist_free_all(lines);
        curl_easy_cleanup(e);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    char url[300];
    snprintf(url, sizeof url, "https://%s:%u/", r.server, unsigned(kesta::SERVER_PORT));
    curl_easy_setopt(e, CURLOPT_URL, url);
    curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, r.path);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.errors);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, r.agent);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, lines);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body != nullptr ? body : "");
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(body_length));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L); // a 3xx reply is the reply
    // Only the session's proxy, never the environment's; it is offered no
    // credentials of any kind.
    curl_easy_setopt(e, CURLOPT_PROXY, r.proxy);
    if (r.proxy[0] != '\0') {
        curl_easy_setopt(e, CURLOPT_PROXYTYPE, long(CURLPROXY_HTTP));
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, long(CURLAUTH_NONE));
        curl_easy_setopt(e, CURLOPT_NOPROXY, "");
        curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, 1L);
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    }
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, EXCHANGE_TIMEOUT_MS);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    for (CURLoption data : {CURLOPT_XFERINFODATA, CURLOPT_HEADERDATA, CURLOPT_WRITEDATA}) {
        curl_easy_setopt(e, data, &r);
    }
    kesta_posix::attach_trust(e, &r.tls);

    clock_gettime(CLOCK_MONOTONIC, &r.started);
    r.last_data = r.started;
    CURLcode rc = curl_easy_perform(e);
    // The cut is this layer's own doing, not a failure of the exchange.
    DWORD code = rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && r.cut) ? 0 : map_error(r, rc);
    if (r.errors[0] == '\0') {
        snprintf(r.errors, sizeof r.errors, "%s", curl_easy_strerror(rc));
    }
    curl_easy_cleanup(e);
    kesta_posix::release_trust(&r.tls);
    curl_slist_free_all(lines);
    r.easy = nullptr;
    return code;
}

// libcurl's process-wide set-up, done once by the first login and given
// back at unload or exit. libcurl counts its users: a host's own stays.
CURLcode curl_global()
{
    static const struct Global {
        CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        ~Global() { code == CURLE_OK ? curl_global_cleanup() : void(); }
    } global;
    return global.code;
}

} // namespace

extern "C" {

HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD access_type, LPCSTR proxy, LPCSTR proxy_bypass,
                               DWORD flags)
{
    bool direct =
        access_type == INTERNET_OPEN_TYPE_DIRECT && proxy == nullptr && proxy_bypass == nullptr;
    bool proxied = access_type == INTERNET_OPEN_TYPE_PROXY && proxy != nullptr &&
                   proxy[0] != '\0' && proxy_bypass != nullptr && proxy_bypass[0] == '\0';
    Login *login = nullptr;
    if (flags != 0 || !(direct || proxied) || agent == nullptr ||
        strlen(agent) >= sizeof login->agent ||
        (proxied && strlen(proxy) >= sizeof login->proxy - strlen("http://"))) {
        return fail<HINTERNET>(nullptr, ERROR_INVALID_PARAMETER);
    }
    if (curl_global() != CURLE_OK) {
        return fail<HINTERNET>(nullptr, ERROR_INTERNET_INTERNAL_ERROR,
                               curl_easy_strerror(curl_global()));
    }
    login = new (std::nothrow) Login;
    if (login == nullptr) {
        return fail<HINTERNET>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
    }
    snprintf(login->agent, sizeof login->agent, "%s", agent);
    // The scheme is written here, so the text is only ever a host and port.
    if (proxied) {
        snprintf(login->proxy, sizeof login->proxy, "http://%s", proxy);
    }
    return login;
}

HINTERNET WINAPI InternetConnectA(HINTERNET session, LPCSTR server, INTERNET_PORT port, LPCSTR user,
                                  LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context)
{
    Login *login =
        at(session, Login::OPENED,
           server != nullptr && server[0] != '\0' && port == kesta::SERVER_PORT &&
               user == nullptr && password == nullptr && service == INTERNET_SERVICE_HTTP &&
               flags == INTERNET_FLAG_SECURE && context == 0);
    if (login == nullptr) {
        return nullptr;
    }
    // A name longer than any host name fails as an unknown one would, at
    // the send.
    if (strlen(server) < sizeof login->server) {
        snprintf(login->server, sizeof login->server, "%s", server);
    }
    return next(login, Login::CONNECTED);
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR object, LPCSTR version,
                                  LPCSTR referrer, LPCSTR *accept_types, DWORD flags,
                                  DWORD_PTR context)
{
    Login *login = at(connection, Login::CONNECTED,
                      verb != nullptr && strcmp(verb, "POST") == 0 && version == nullptr &&
                          referrer == nullptr && accept_types == nullptr &&
                          flags == kesta::REQUEST_FLAGS && context == 0);
    if (login == nullptr) {
        return nullptr;
    }
    if ((login->path = request_target(object)) == nullptr) {
        return fail<HINTERNET>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
    }
    return next(login, Login::REQUESTED);
}

// Runs the whole exchange. A failure before the response is the send's; one
// after it comes with the read after the body's bytes, as WinINet hands over
// what came before a connection broke. The caller has its body back at once.
BOOL WINAPI HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headers_length,
                             LPVOID optional, DWORD optional_length)
{
    char line[256];
    Login *login = at(request, Login::REQUESTED,
                      one_line(headers, headers_length, line) && optional_length <= BUFFER_SIZE &&
                          (optional != nullptr || optional_length == 0));
    if (login == nullptr) {
        return FALSE;
    }
    login->stage = Login::SENT;
    login->error = login->server[0] == '\0' ? DWORD(ERROR_INTERNET_NAME_NOT_RESOLVED)
                                            : run(*login, line, optional, optional_length);
    return login->response || login->error == 0 ? TRUE
                                                : fail<BOOL>(FALSE, login->error, login->errors);
}

BOOL WINAPI InternetReadFile(HINTERNET file, LPVOID buffer, DWORD to_read, LPDWORD read)
{
    Login *login = at(file, Login::SENT, read != nullptr && (buffer != nullptr || to_read == 0));
    if (login == nullptr) {
        return FALSE;
    }
    DWORD n = login->length - login->taken < to_read ? login->length - login->taken : to_read;
    memcpy(buffer, login->body + login->taken, n);
    login->taken += n;
    *read = n;
    if (n > 0 || to_read == 0) {
        return TRUE;
    }
    if (login->error != 0) {
        return fail<BOOL>(FALSE, login->error, login->errors);
    }
    // Never an end that is not there: past what was kept, the body went on.
    return login->cut ? fail<BOOL>(FALSE, ERROR_INTERNET_INTERNAL_ERROR,
                                   "the body goes on beyond 4096 bytes")
                      : TRUE;
}

// The library asks the request for the timeouts, to give it WinINet's
// defaults where the platform has none, and for the security flags, to tell
// the server's response from a proxy's own.
BOOL WINAPI InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length)
{
    const Login *login = static_cast<const Login *>(handle);
    if (login == nullptr || buffer == nullptr || length == nullptr || *length < sizeof(DWORD)) {
        return fail<BOOL>(FALSE, login == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    }
    DWORD value = 0;
    if (option == INTERNET_OPTION_SECURITY_FLAGS) {
        value = login->response ? SECURITY_FLAG_SECURE : 0;
    } else if (option == INTERNET_OPTION_RECEIVE_TIMEOUT ||
               option == INTERNET_OPTION_SEND_TIMEOUT) {
        value = IDLE_TIMEOUT_MS;
    } else {
        return fail<BOOL>(FALSE, ERROR_INTERNET_INVALID_OPTION);
    }
    memcpy(buffer, &value, sizeof value);
    *length = sizeof value;
    return TRUE;
}

BOOL WINAPI InternetSetOptionA(HINTERNET, DWORD, LPVOID, DWORD)
{
    return fail<BOOL>(FALSE, ERROR_INTERNET_INVALID_OPTION);
}

BOOL WINAPI InternetCloseHandle(HINTERNET handle)
{
    Login *login = static_cast<Login *>(handle);
    if (login == nullptr) {
        return fail<BOOL>(FALSE, ERROR_INVALID_HANDLE);
    }
    if (--login->handles == 0) {
        delete login;
    }
    return TRUE;
}

} // extern "C"
