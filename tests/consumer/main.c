#include <stdio.h>

#include <kesta.h>

int main(void)
{
    /* A login to a name that cannot resolve: a record, an error, a release. */
    LOGIN_RESULT *r = _KESTA_LOGIN(NULL, 0, "user", "secret", "nowhere.invalid", "/");
    unsigned long code = r != NULL ? (unsigned long)_KESTA_GETERRORCODE(r) : 0;
    _KESTA_RELEASE(r);
    printf("version %lu, login error %lu\n", (unsigned long)_KESTA_GETVERSION(), code);
    return code != 0 ? 0 : 1;
}
