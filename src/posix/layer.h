// What the Linux stand-ins share among themselves; not seen by the library.
#ifndef KESTA_POSIX_LAYER_H
#define KESTA_POSIX_LAYER_H

#include <stddef.h>

#include "win32.h"

namespace kesta_posix {

// Sets this thread's last error, with a detail that the message text of
// ERROR_INTERNET_INTERNAL_ERROR carries (the transport's own words for a
// failure that no better code fits). A null detail clears it.
void set_error(DWORD code, const char *detail);

// One row of a table that turns a code into something else: an error code
// into its text, a transport's code into WinINet's.
template <class T> struct Entry {
    long code;
    T value;
};

// The value the table gives code, or otherwise.
template <class T, size_t N> T lookup(const Entry<T> (&table)[N], long code, T otherwise)
{
    for (const Entry<T> &e : table) {
        if (e.code == code) {
            return e.value;
        }
    }
    return otherwise;
}

} // namespace kesta_posix

#endif
