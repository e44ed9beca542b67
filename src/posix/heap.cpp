// The local heap on Linux: the C heap. Kept alone in its file so that a test
// program can link a heap of its own in place of this one.
#include <stdlib.h>

#include "win32.h"

extern "C" HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes)
{
    // Windows hands out a block even for 0 bytes; so does this.
    if (bytes == 0) {
        bytes = 1;
    }
    void *mem = (flags & LMEM_ZEROINIT) ? calloc(1, bytes) : malloc(bytes);
    if (mem == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return mem;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL mem)
{
    free(mem);
    return nullptr;
}
