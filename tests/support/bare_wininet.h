// A login made with bare WinINet calls: the library's calls, flags, header,
// body and 4096-byte buffer, without the library. The soak test and the
// benchmark hold the library against it.
#ifndef KESTA_TEST_BARE_WININET_H
#define KESTA_TEST_BARE_WININET_H

#include <string.h>

#include <initializer_list>

#include "exchange.h"

// True when the reply starts with the session prefix.
inline bool bare_wininet_login(const char *server, const char *path)
{
    char buffer[kesta::BUFFER_SIZE];
    char body[] = "ID=user&PW=secret";
    bool ok = false;
    HINTERNET session = InternetOpenA("KESTA/1.00", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET connection =
        session ? InternetConnectA(session, server, kesta::SERVER_PORT, nullptr, nullptr,
                                   INTERNET_SERVICE_HTTP, INTERNET_FLAG_SECURE, 0)
                : nullptr;
    HINTERNET request = connection ? HttpOpenRequestA(connection, "POST", path, nullptr, nullptr,
                                                      nullptr, kesta::REQUEST_FLAGS, 0)
                                   : nullptr;
    if (request != nullptr && HttpSendRequestA(request, "X-Orv-UA: Kelpin/2.00\r\n", DWORD(-1),
                                               body, DWORD(strlen(body)))) {
        DWORD total = 0;
        DWORD got = 0;
        while (total < sizeof buffer &&
               InternetReadFile(request, buffer + total, sizeof buffer - total, &got) && got > 0) {
            total += got;
        }
        ok = total > 11 && memcmp(buffer, "SESSION-ID=", 11) == 0;
    }
    for (HINTERNET h : {request, connection, session}) {
        if (h != nullptr) {
            InternetCloseHandle(h);
        }
    }
    return ok;
}

#endif
