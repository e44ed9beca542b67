/* A C99 host program: the header alone declares everything it uses. */
#include <stddef.h>
#include <stdio.h>

#include "kesta.h"

/* The record's layout is part of the binary interface: a host program
 * built with another compiler reads the fields at these offsets. Each field
 * takes one pointer-sized word (error_code 4 bytes of its word), so the
 * 32-bit DLL's record is 16 bytes and the 64-bit one's, like the 64-bit
 * Linux library's, 32. */
#define FIELD(name) #name, offsetof(LOGIN_RESULT, name), sizeof(((LOGIN_RESULT *)0)->name)

static const struct {
    const char *name;
    size_t offset, size;
    size_t offset32, size32, offset64, size64;
} LAYOUT[] = {
    {FIELD(session_id), 0, 4, 0, 8},
    {FIELD(error_code), 4, 4, 8, 4},
    {FIELD(error_string), 8, 4, 16, 8},
    {FIELD(user_agent), 12, 4, 24, 8},
    {"the record", 0, sizeof(LOGIN_RESULT), 0, 16, 0, 32},
};

static int layout_problems(void)
{
    int wide = sizeof(void *) == 8;
    int problems = 0;
    size_t i;

    if (sizeof(void *) != 4 && sizeof(void *) != 8) {
        fprintf(stderr, "layout: no known layout for %lu-byte pointers\n",
                (unsigned long)sizeof(void *));
        return 1;
    }
    for (i = 0; i < sizeof LAYOUT / sizeof LAYOUT[0]; i++) {
        size_t offset = wide ? LAYOUT[i].offset64 : LAYOUT[i].offset32;
        size_t size = wide ? LAYOUT[i].size64 : LAYOUT[i].size32;
        if (LAYOUT[i].offset != offset || LAYOUT[i].size != size) {
            fprintf(stderr, "layout: %s at %lu, %lu bytes; want %lu, %lu bytes\n", LAYOUT[i].name,
                    (unsigned long)LAYOUT[i].offset, (unsigned long)LAYOUT[i].size,
                    (unsigned long)offset, (unsigned long)size);
            problems++;
        }
    }
    return problems;
}

int main(void)
{
    LOGIN_RESULT *(KESTA_CALL * login)(const char *, int32_t, const char *, const char *,
                                       const char *, const char *) = _KESTA_LOGIN;
    LOGIN_RESULT record = {0, 0, 0, 0};
    uint32_t version = _KESTA_GETVERSION();

    if (layout_problems() != 0) {
        return 1;
    }
    if (login == 0) {
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
