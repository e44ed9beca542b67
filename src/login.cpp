// The login call: one whole exchange with the login server, through the
// platform's internet calls, from the record's allocation to the last close.
#include <stdio.h>

#include "kesta_internal.h"

namespace kesta {

static const char AGENT_NAME[] = "KESTA/1.00";
static const char METHOD[] = "POST";
// An empty bypass list, not null: with a proxy every host goes through it.
static const char PROXY_BYPASS[] = "";

static const DWORD REQUEST_FLAGS = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                   INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
static_assert(REQUEST_FLAGS == 0x04880200, "request flags");

void compose_proxy(char *buffer, size_t size, const char *host, int32_t port)
{
    snprintf(buffer, size, "%.240s:%d", host, int(port));
}

// Records the error of the platform call that just failed. A failure whose
// code reads 0 would look like a success, so it becomes an internal error.
static void record_last_error(LOGIN_RESULT *result)
{
    DWORD code = GetLastError();
    record_error(result, code != ERROR_SUCCESS ? code : ERROR_INTERNET_INTERNAL_ERROR);
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

    char proxy[256];
    char buffer[4096];
    DWORD access = INTERNET_OPEN_TYPE_DIRECT;
    const char *proxy_text = nullptr;
    const char *bypass = nullptr;
    if (proxy_host != nullptr && proxy_host[0] != '\0') {
        compose_proxy(proxy, sizeof proxy, proxy_host, proxy_port);
        access = INTERNET_OPEN_TYPE_PROXY;
        proxy_text = proxy;
        bypass = PROXY_BYPASS;
    }

    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    HINTERNET session = InternetOpenA(AGENT_NAME, access, proxy_text, bypass, 0);
    if (session == nullptr) {
        record_last_error(result);
    } else if ((connection =
                    InternetConnectA(session, server, INTERNET_DEFAULT_HTTPS_PORT, nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, INTERNET_FLAG_SECURE, 0)) == nullptr) {
        record_last_error(result);
    } else if ((request = HttpOpenRequestA(connection, METHOD, path, nullptr, nullptr, nullptr,
                                           REQUEST_FLAGS, 0)) == nullptr) {
        record_last_error(result);
    } else {
        send_and_read(result, request, buffer, sizeof buffer, id, password);
    }

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
    // The buffer held the password and the proxy text the proxy's address;
    // neither should outlive the call in this stack frame.
    SecureZeroMemory(buffer, sizeof buffer);
    SecureZeroMemory(proxy, sizeof proxy);
    return result;
}
