/* A C99 host program: the header alone declares everything it uses. */
#include <stdio.h>

#include "kesta.h"

int main(void)
{
    LOGIN_RESULT *(KESTA_CALL * login)(const char *, int32_t, const char *, const char *,
                                       const char *, const char *) = _KESTA_LOGIN;
    LOGIN_RESULT record = {0, 0, 0, 0};
    uint32_t version = _KESTA_GETVERSION();

    if (login == 0 || version != 0x00010000u) {
        fprintf(stderr, "version %lu\n", (unsigned long)version);
        return 1;
    }
    record.error_code = 13;
    if (_KESTA_GETERRORCODE(&record) != 13 || _KESTA_GETSESSIONID(&record) != 0 ||
        _KESTA_GETUSERAGENT(&record) != 0 || _KESTA_GETERRORSTRING(&record) != 0) {
        return 1;
    }
    if (_KESTA_RELEASE(0) != 0) {
        return 1;
    }
    printf("%lu\n", (unsigned long)version);
    return 0;
}
