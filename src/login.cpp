// The login call: one whole exchange with the login server, through the
// platform's internet calls, from the record's allocation to the last close.
#include "exchange.h"
#include "kesta_internal.h"

namespace kesta {

static const char AGENT_NAME[] = "KESTA/1.00";
static const char METHOD[] = "POST";
// An empty bypass list, not null: with a proxy every host goes through it.
static const char PROXY_BYPASS[] = "";

// WinINet's documented default for sending and receiving (from the build's
// timeouts), for a platform whose own are infinite.
static const DWORD DEFAULT_TIMEOUT_MS = KESTA_RECEIVE_TIMEOUT_MS;

// Records the error of the platform call that just failed. A failure whose
// code reads 0 would look like a success, so it becomes an internal error.
static void record_last_error(LOGIN_RESULT *result)
{
    DWORD code = GetLastError();
    record_error(result, code != ERROR_SUCCESS ? code : ERROR_INTERNET_INTERNAL_ERROR);
}

// No login may wait for ever. Where the platform reports no send or receive
// timeout (Wine's WinINet: 0, and it answers only for the connection, while
// only a value set on the request takes effect), the request gets WinINet's
// defaults. A finite value is the platform's own and stays as it is.
static void bound_waits(HINTERNET connection, HINTERNET request)
{
    static const DWORD OPTIONS[] = {INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT};
    for (DWORD option : OPTIONS) {
        DWORD value = 0;
        DWORD size = sizeof value;
        if (!InternetQueryOptionA(request, option, &value, &size)) {
            size = sizeof value;
            if (!InternetQueryOptionA(connection, option, &value, &size)) {
                value = 0;
            }
        }
        if (value == 0 || value == DWORD(-1)) {
            DWORD bound = DEFAULT_TIMEOUT_MS;
            // A platform that refuses the value keeps its own behaviour; the
            // login goes on as it would have.
            InternetSetOptionA(request, option, &bound, sizeof bound);
        }
    }
}

// Whether the response came over TLS from the server. A proxy that answers
// the tunnel request itself hands over a response of its own making, which
// WinINet returns as if it were the server's; the request's security flags
// then lack SECURITY_FLAG_SECURE. So do they once WinINet has let a
// connection go whose reply was already complete (an empty body), which is
// why the caller looks at this only when the reply has bytes.
static bool came_over_tls(HINTERNET request)
{
    DWORD flags = 0;
    DWORD size = sizeof flags;
    return InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size) &&
           (flags & SECURITY_FLAG_SECURE) != 0;
}

// Sends the body and reads the reply into the same buffer. A synchronous
// read may return less than asked before the body has ended, so reading
// goes on until the buffer is full or a read returns nothing.
static void send_and_read(LOGIN_RESULT *result, HINTERNET request, char *buffer, DWORD size,
                          const char *id, const char *password)
{
    DWORD body_length = compose_body(buffer, size, id, password);
    if (!HttpSendRequestA(request, HEADER_LINE, DWORD(-1), buffer, body_length)) {
        record_last_error(result);
        return;
    }
    bool secure = came_over_tls(request);
    DWORD total = 0;
    while (total < size) {
        DWORD got = 0;
        if (!InternetReadFile(request, buffer + total, size - total, &got)) {
            record_last_error(result);
            return;
        }
        if (got == 0) {
            break;
        }
        total += got;
    }
    // Bytes that did not come over TLS are the proxy's own answer: whatever
    // they say, the tunnel to the server was never made.
    if (total > 0 && !secure) {
        record_error(result, ERROR_INTERNET_CANNOT_CONNECT);
        return;
    }
    parse_reply(result, buffer, total);
}

} // namespace kesta

using namespace kesta;

extern "C" LOGIN_RESULT *KESTA_CALL _KESTA_LOGIN(const char *proxy_host, int32_t proxy_port,
                                                 const char *id, const char *password,
                                                 const char *server, const char *path)
{
    LOGIN_RESULT *result = static_cast<LOGIN_RESULT *>(LocalAlloc(LPTR, sizeof(LOGIN_RESULT)));
    if (result == nullptr) {
        return nullptr;
    }
    bool proxied = proxy_host != nullptr && proxy_host[0] != '\0';
    if (!server_is_safe(server) || !path_is_safe(path) ||
        (proxied && !proxy_is_safe(proxy_host, proxy_port))) {
        record_error(result, ERROR_INVALID_PARAMETER);
        return result;
    }

    char proxy[256];
    char buffer[BUFFER_SIZE];
    DWORD access = INTERNET_OPEN_TYPE_DIRECT;
    const char *proxy_text = nullptr;
    const char *bypass = nullptr;
    if (proxied) {
        compose_proxy(proxy, sizeof proxy, proxy_host, proxy_port);
        access = INTERNET_OPEN_TYPE_PROXY;
        proxy_text = proxy;
        bypass = PROXY_BYPASS;
    }

    // Each open happens only when the one before it succeeded, so the last
    // call made before a missing handle is the one whose error is recorded.
    HINTERNET session = InternetOpenA(AGENT_NAME, access, proxy_text, bypass, 0);
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    if (session != nullptr) {
        connection = InternetConnectA(session, server, SERVER_PORT, nullptr, nullptr,
                                      INTERNET_SERVICE_HTTP, INTERNET_FLAG_SECURE, 0);
    }
    if (connection != nullptr) {
        request =
            HttpOpenRequestA(connection, METHOD, path, nullptr, nullptr, nullptr, REQUEST_FLAGS, 0);
    }
    if (request != nullptr) {
        bound_waits(connection, request);
        send_and_read(result, request, buffer, sizeof buffer, id, password);
    } else {
        record_last_error(result);
    }

    // The buffer held the password and the reply, the proxy text the proxy's
    // address; neither should outlive the call in this stack frame. They go
    // as soon as the exchange is over, before the closes: those are the last
    // calls out of this frame, and a test's stand-in transport looks there
    // for what is left.
    SecureZeroMemory(buffer, sizeof buffer);
    SecureZeroMemory(proxy, sizeof proxy);

    // Whatever was opened is closed, the newest first.
    if (request != nullptr) {
        InternetCloseHandle(request);
    }
    if (connection != nullptr) {
        InternetCloseHandle(connection);
    }
    if (session != nullptr) {
        InternetCloseHandle(session);
    }
    return result;
}
