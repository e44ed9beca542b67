/*
 * kesta: log a user into a web service's login server over HTTPS and get
 * back the session it grants.
 *
 * One call, _KESTA_LOGIN, does the whole exchange and returns a result
 * record. The record and every text it points to belong to the library:
 * read them through the query functions, never free or change them, and
 * hand the record back to _KESTA_RELEASE when done. Texts are byte strings,
 * not converted in any way.
 */
#ifndef KESTA_H
#define KESTA_H

#include <stdint.h>

#if defined(_WIN32)
#define KESTA_CALL __cdecl
#define KESTA_API
#elif defined(__GNUC__)
#define KESTA_CALL
#define KESTA_API __attribute__((visibility("default")))
#else
#define KESTA_CALL
#define KESTA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The result of one login. error_code 0 means success; session_id and
 * user_agent are then both set and error_string is null. */
typedef struct LOGIN_RESULT {
    char *session_id;    /* the value after "SESSION-ID=", or null */
    uint32_t error_code; /* 0, or the last Windows system / WinINet code */
    char *error_string;  /* the message text for error_code, or null */
    char *user_agent;    /* the session value before its first ':', or null */
} LOGIN_RESULT;

/* Logs in with one HTTPS POST to port 443 of server at path. proxy_host
 * null or "" means a direct connection (proxy_port is then not looked at).
 * A server name with a port, user info, path or space, a path with a control
 * byte, or a proxy that is not one host and a port from 1 to 65535 is
 * refused with error 87 before anything is sent.
 * Returns a record, successful or not, or null only when the record itself
 * cannot be allocated. Blocks the calling thread for the whole exchange. */
KESTA_API LOGIN_RESULT *KESTA_CALL _KESTA_LOGIN(const char *proxy_host, int32_t proxy_port,
                                                const char *id, const char *password,
                                                const char *server, const char *path);

/* Frees the record and all its texts; null is fine. Always returns 0. */
KESTA_API int32_t KESTA_CALL _KESTA_RELEASE(LOGIN_RESULT *result);

/* The library's version, 0x00010000 (1.0). */
KESTA_API uint32_t KESTA_CALL _KESTA_GETVERSION(void);

/* The record's fields as they are, no copy; texts stay valid until
 * _KESTA_RELEASE. The record must be one that _KESTA_LOGIN returned. */
KESTA_API uint32_t KESTA_CALL _KESTA_GETERRORCODE(const LOGIN_RESULT *result);
KESTA_API const char *KESTA_CALL _KESTA_GETERRORSTRING(const LOGIN_RESULT *result);
KESTA_API const char *KESTA_CALL _KESTA_GETSESSIONID(const LOGIN_RESULT *result);
KESTA_API const char *KESTA_CALL _KESTA_GETUSERAGENT(const LOGIN_RESULT *result);

#ifdef __cplusplus
}
#endif

#endif
