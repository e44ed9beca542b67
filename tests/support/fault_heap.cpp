#include "fault_heap.h"

#include <stdlib.h>

#include "platform.h"
#include "replace.h"

namespace {

const int TRACKED = 256;

struct State {
    int fail_at = 0;
    int fail_count = 0;
    int allocations = 0;
    const void *live[TRACKED] = {};
    const void *freed[TRACKED] = {};
    int freed_count = 0;
} state;

void track(const void *ptr)
{
    for (const void *&slot : state.live) {
        if (slot == nullptr) {
            slot = ptr;
            return;
        }
    }
    abort(); // more live blocks than any test needs: the test is wrong
}

void untrack(const void *ptr)
{
    for (const void *&slot : state.live) {
        if (slot == ptr) {
            slot = nullptr;
        }
    }
    if (state.freed_count < TRACKED) {
        state.freed[state.freed_count++] = ptr;
    }
}

#ifdef _WIN32
typedef HLOCAL(WINAPI *AllocFn)(UINT, SIZE_T);
typedef HLOCAL(WINAPI *FreeFn)(HLOCAL);

template <class Fn> Fn kernel32(const char *name)
{
    // Through void *: GetProcAddress's own type fits no call.
    void *fn = reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32"), name));
    return reinterpret_cast<Fn>(fn);
}

HLOCAL real_alloc(UINT flags, SIZE_T bytes)
{
    static AllocFn fn = kernel32<AllocFn>("LocalAlloc");
    return fn(flags, bytes);
}

HLOCAL real_free(HLOCAL mem)
{
    static FreeFn fn = kernel32<FreeFn>("LocalFree");
    return fn(mem);
}
#else
HLOCAL real_alloc(UINT flags, SIZE_T bytes)
{
    return (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
}

HLOCAL real_free(HLOCAL mem)
{
    free(mem);
    return nullptr;
}
#endif

} // namespace

extern "C" HLOCAL WINAPI KESTA_FAKE(LocalAlloc)(UINT flags, SIZE_T bytes)
{
    int n = ++state.allocations;
    if (state.fail_at > 0 && n >= state.fail_at && n < state.fail_at + state.fail_count) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HLOCAL mem = real_alloc(flags, bytes);
    if (mem != nullptr) {
        track(mem);
    }
    return mem;
}

extern "C" HLOCAL WINAPI KESTA_FAKE(LocalFree)(HLOCAL mem)
{
    // On Windows the platform's own message texts come from its inner heap,
    // not through this one: they are freed here but were never tracked.
    if (mem != nullptr) {
        untrack(mem);
    }
    return real_free(mem);
}

KESTA_REPLACE(LocalAlloc, 8);
KESTA_REPLACE(LocalFree, 4);

namespace fault_heap {

void reset(int fail_at, int fail_count)
{
    state = State();
    state.fail_at = fail_at;
    state.fail_count = fail_count;
}

int allocations()
{
    return state.allocations;
}

int live()
{
    int n = 0;
    for (const void *slot : state.live) {
        n += slot != nullptr;
    }
    return n;
}

bool freed(const void *ptr)
{
    for (int i = 0; i < state.freed_count; i++) {
        if (state.freed[i] == ptr) {
            return true;
        }
    }
    return false;
}

} // namespace fault_heap
