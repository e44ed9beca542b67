// The Kernel32 and WinINet calls the library makes, for Linux: the same
// names, types, values and contracts as on Windows, so that the library's
// own code is one source on both targets. Only what the library uses is here.
#ifndef KESTA_POSIX_WIN32_H
#define KESTA_POSIX_WIN32_H

#include <cstddef>
#include <cstdint>

#define WINAPI

typedef uint32_t DWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef size_t SIZE_T;
typedef uintptr_t DWORD_PTR;
typedef uint16_t INTERNET_PORT;
typedef void *LPVOID;
typedef void *HLOCAL;
typedef void *HMODULE;
typedef void *HINTERNET;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;

#define TRUE 1
#define FALSE 0

// Local heap.
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Message texts.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define LANG_USER_DEFAULT 0x0400

// System error codes.
#define ERROR_SUCCESS 0
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_INVALID_PARAMETER 87
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_MR_MID_NOT_FOUND 317

// WinINet.
#define INTERNET_OPEN_TYPE_DIRECT 1
#define INTERNET_OPEN_TYPE_PROXY 3
#define INTERNET_DEFAULT_HTTPS_PORT 443
#define INTERNET_SERVICE_HTTP 3
#define INTERNET_FLAG_SECURE 0x00800000
#define INTERNET_FLAG_NO_CACHE_WRITE 0x04000000
#define INTERNET_FLAG_NO_COOKIES 0x00080000
#define INTERNET_FLAG_NO_AUTO_REDIRECT 0x00200000
#define INTERNET_FLAG_NO_UI 0x00000200
#define INTERNET_OPTION_SEND_TIMEOUT 5
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6
#define INTERNET_OPTION_SECURITY_FLAGS 31
#define SECURITY_FLAG_SECURE 0x00000001

#define ERROR_INTERNET_TIMEOUT 12002
#define ERROR_INTERNET_INTERNAL_ERROR 12004
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007
#define ERROR_INTERNET_INVALID_OPTION 12009
#define ERROR_INTERNET_INCORRECT_HANDLE_TYPE 12018
#define ERROR_INTERNET_INCORRECT_HANDLE_STATE 12019
#define ERROR_INTERNET_CANNOT_CONNECT 12029
#define ERROR_INTERNET_CONNECTION_ABORTED 12030
#define ERROR_INTERNET_SEC_CERT_DATE_INVALID 12037
#define ERROR_INTERNET_SEC_CERT_CN_INVALID 12038
#define ERROR_INTERNET_INVALID_CA 12045
#define ERROR_HTTP_INVALID_SERVER_RESPONSE 12152
#define ERROR_INTERNET_SECURITY_CHANNEL_ERROR 12157
#define ERROR_INTERNET_SEC_INVALID_CERT 12169
#define ERROR_INTERNET_SEC_CERT_REVOKED 12170

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL mem);
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
DWORD WINAPI FormatMessageA(DWORD flags, const void *source, DWORD message_id, DWORD language,
                            LPSTR buffer, DWORD size, void *arguments);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
void *WINAPI SecureZeroMemory(void *ptr, SIZE_T count);

HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD access_type, LPCSTR proxy, LPCSTR proxy_bypass,
                               DWORD flags);
HINTERNET WINAPI InternetConnectA(HINTERNET session, LPCSTR server, INTERNET_PORT port, LPCSTR user,
                                  LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context);
HINTERNET WINAPI HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR object, LPCSTR version,
                                  LPCSTR referrer, LPCSTR *accept_types, DWORD flags,
                                  DWORD_PTR context);
BOOL WINAPI HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headers_length,
                             LPVOID optional, DWORD optional_length);
BOOL WINAPI InternetReadFile(HINTERNET file, LPVOID buffer, DWORD to_read, LPDWORD read);
BOOL WINAPI InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length);
BOOL WINAPI InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length);
BOOL WINAPI InternetCloseHandle(HINTERNET handle);
}

#endif
