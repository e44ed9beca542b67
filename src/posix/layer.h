// What the Linux stand-ins share among themselves; not seen by the library.
#ifndef KESTA_POSIX_LAYER_H
#define KESTA_POSIX_LAYER_H

#include "win32.h"

namespace kesta_posix {

// Sets this thread's last error, with a detail that the message text of
// ERROR_INTERNET_INTERNAL_ERROR carries (the transport's own words for a
// failure that no better code fits). A null detail clears it.
void set_error(DWORD code, const char *detail);

// The module handle GetModuleHandleA gives for "wininet".
HMODULE wininet_module();

} // namespace kesta_posix

#endif
