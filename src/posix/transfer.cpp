// One HTTPS POST as a libcurl transfer on a multi handle of its own, driven
// by the caller a step at a time, with WinINet's codes for its failures.
#include "transfer.h"

#include <openssl/x509_vfy.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "layer.h"

namespace kesta_posix {
namespace {

// More header bytes than any login reply has (trailers and 1xx blocks
// included): a server that keeps sending header lines is cut off here.
const size_t HEADER_LIMIT = 64 * 1024;

void move_to(Transfer &t, Phase next, DWORD error = 0)
{
    if (next > t.phase) {
        t.phase = next;
        t.error = error;
    }
}

long ms_since(const struct timespec &since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// The WinINet code a Windows caller would see for the same failure.
DWORD map_error(const Transfer &t, CURLcode rc)
{
    // The proxy refused the tunnel with an answer of its own: the server was
    // never reached, whatever the proxy said.
    long tunnel = 0;
    curl_easy_getinfo(t.easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
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
        curl_easy_getinfo(t.easy, CURLINFO_SSL_VERIFYRESULT, &verify);
        if (verify == X509_V_ERR_CERT_NOT_YET_VALID || verify == X509_V_ERR_CERT_HAS_EXPIRED) {
            return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        }
        // libcurl checks the host name itself, after the chain, and then
        // reports no verify code of its own, only its words: a chain that
        // verified means the name was what failed.
        if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_OK ||
            strstr(t.errors, "subject name") != nullptr) {
            return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        }
        return ERROR_INTERNET_INVALID_CA;
    }
    case CURLE_SSL_CACERT_BADFILE: // a trust store that cannot be read trusts no one
        return ERROR_INTERNET_INVALID_CA;
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
        return t.header_bytes > HEADER_LIMIT ? ERROR_HTTP_INVALID_SERVER_RESPONSE
                                             : ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_OUT_OF_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_INTERNET_INTERNAL_ERROR; // with libcurl's words in errors
    }
}

void fail(Transfer &t, CURLcode rc)
{
    if (t.errors[0] == '\0') {
        snprintf(t.errors, sizeof t.errors, "%s", curl_easy_strerror(rc));
    }
    move_to(t, Phase::failed, map_error(t, rc));
}

size_t on_header(char *line, size_t size, size_t count, void *user)
{
    Transfer &t = *static_cast<Transfer *>(user);
    size_t n = size * count;
    clock_gettime(CLOCK_MONOTONIC, &t.last_data);
    t.header_bytes += n;
    if (t.header_bytes > HEADER_LIMIT) {
        return 0; // ends the transfer with a write error
    }
    // A blank line ends a header block; the response's own block is the
    // first with a final status (1xx blocks come before it).
    if ((n == 2 && line[0] == '\r' && line[1] == '\n') || (n == 1 && line[0] == '\n')) {
        long status = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200) {
            move_to(t, Phase::reading);
        }
    }
    return n;
}

// The one way body bytes take: into pending, which the reader drains. While
// pending holds anything the transfer is paused, so that a long reply is not
// taken from the server faster than it is read.
size_t on_body(char *data, size_t size, size_t count, void *user)
{
    Transfer &t = *static_cast<Transfer *>(user);
    size_t n = size * count;
    clock_gettime(CLOCK_MONOTONIC, &t.last_data);
    move_to(t, Phase::reading);
    if (has_pending(t)) {
        t.paused = true;
        return CURL_WRITEFUNC_PAUSE; // libcurl offers the same bytes again later
    }
    char *pending = static_cast<char *>(realloc(t.pending, n > 0 ? n : 1));
    if (pending == nullptr) {
        return 0; // ends the transfer with a write error
    }
    memcpy(pending, data, n);
    t.pending = pending;
    t.pending_length = n;
    t.pending_start = 0;
    return n;
}

// The extra header lines, CR LF or LF separated; libcurl's own Accept,
// Expect and Content-Type are switched off, as WinINet sends none of them.
bool add_headers(Transfer &t, const char *headers, DWORD length)
{
    size_t n = headers == nullptr ? 0 : length == DWORD(-1) ? strlen(headers) : length;
    for (size_t start = 0; start < n;) {
        size_t end = start;
        while (end < n && headers[end] != '\r' && headers[end] != '\n') {
            end++;
        }
        if (end > start) {
            char *line = strndup(headers + start, end - start);
            curl_slist *list = line != nullptr ? curl_slist_append(t.headers, line) : nullptr;
            free(line);
            if (list == nullptr) {
                return false;
            }
            t.headers = list;
        }
        start = end + 1;
    }
    static const char *const REMOVALS[] = {"Accept:", "Expect:", "Content-Type:"};
    for (const char *removal : REMOVALS) {
        curl_slist *list = curl_slist_append(t.headers, removal);
        if (list == nullptr) {
            return false;
        }
        t.headers = list;
    }
    return true;
}

} // namespace

Transfer::~Transfer()
{
    if (multi != nullptr && easy != nullptr) {
        curl_multi_remove_handle(multi, easy);
    }
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    release_trust(trust);
    curl_slist_free_all(headers);
    free(pending);
}

bool start(Transfer &t, const Target &target, const char *path, const char *headers,
           DWORD headers_length, const void *body, DWORD body_length)
{
    t.target = &target;
    t.body_length = body_length;
    t.easy = curl_easy_init();
    t.multi = curl_multi_init();
    if (t.easy == nullptr || t.multi == nullptr || !add_headers(t, headers, headers_length)) {
        set_error(ERROR_NOT_ENOUGH_MEMORY, nullptr);
        return false;
    }
    snprintf(t.url, sizeof t.url, "https://%s:443/", target.server);
    CURL *e = t.easy;
    curl_easy_setopt(e, CURLOPT_URL, t.url);
    curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, path);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errors);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, target.agent);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body != nullptr ? body : "");
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(body_length));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    // A 3xx reply is the reply: its Location is never followed.
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    t.trust = attach_trust(e);
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
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(CONNECT_TIMEOUT_MS));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    if (curl_multi_add_handle(t.multi, e) != CURLM_OK) {
        set_error(ERROR_INTERNET_INTERNAL_ERROR, "cannot start the transfer");
        return false;
    }
    clock_gettime(CLOCK_MONOTONIC, &t.started);
    t.last_data = t.started;
    move_to(t, Phase::waiting);
    return true;
}

// The send timeout governs until the body is uploaded, the receive timeout
// after; either counts from the last data received or the connection made,
// whichever is later. The connect timeout is libcurl's own.
void drive(Transfer &t, bool (*done)(const Transfer &))
{
    while (!done(t) && t.phase < Phase::ended) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(t.multi, &running);
        if (mc != CURLM_OK) {
            snprintf(t.errors, sizeof t.errors, "%s", curl_multi_strerror(mc));
            move_to(t, Phase::failed, ERROR_INTERNET_INTERNAL_ERROR);
            return;
        }
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(t.multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->data.result == CURLE_OK) {
                move_to(t, Phase::ended);
            } else if (msg->msg == CURLMSG_DONE) {
                fail(t, msg->data.result);
            }
        }
        if (done(t) || t.phase >= Phase::ended) {
            return;
        }
        curl_off_t connect_us = 0;
        curl_off_t uploaded = 0;
        curl_easy_getinfo(t.easy, CURLINFO_CONNECT_TIME_T, &connect_us);
        curl_easy_getinfo(t.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
        long limit = long(uploaded >= curl_off_t(t.body_length) ? t.target->receive_timeout_ms
                                                                : t.target->send_timeout_ms);
        long since_start = ms_since(t.started);
        long since_connect = since_start - long(connect_us / 1000);
        long since_data = ms_since(t.last_data);
        long idle = since_data < since_connect ? since_data : since_connect;
        long remaining = EXCHANGE_TIMEOUT_MS - since_start;
        bool connected = connect_us > 0;
        if ((connected && idle >= limit) || remaining <= 0) {
            move_to(t, Phase::failed, ERROR_INTERNET_TIMEOUT);
            return;
        }
        long wait = connected && limit - idle < remaining ? limit - idle : remaining;
        curl_multi_poll(t.multi, nullptr, 0, int(wait < 1000 ? wait : 1000), nullptr);
    }
}

bool response_in(const Transfer &t)
{
    return t.phase >= Phase::reading;
}

bool taken(const Transfer &t)
{
    curl_off_t uploaded = 0;
    curl_easy_getinfo(t.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    return response_in(t) && uploaded >= curl_off_t(t.body_length);
}

bool has_pending(const Transfer &t)
{
    return t.pending_start < t.pending_length;
}

DWORD take_pending(Transfer &t, char *out, DWORD room)
{
    size_t n = t.pending_length - t.pending_start;
    n = n < room ? n : room;
    if (n > 0) {
        memcpy(out, t.pending + t.pending_start, n);
        t.pending_start += n;
    }
    if (!has_pending(t) && t.paused) {
        t.paused = false;
        // Hands over what libcurl held back, through on_body.
        CURLcode rc = curl_easy_pause(t.easy, CURLPAUSE_CONT);
        if (rc != CURLE_OK) {
            fail(t, rc);
        }
    }
    return DWORD(n);
}

} // namespace kesta_posix
