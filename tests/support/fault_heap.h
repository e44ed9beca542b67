// A local heap for tests that counts what the library allocates and frees
// and can make the nth allocation fail.
#ifndef KESTA_TEST_FAULT_HEAP_H
#define KESTA_TEST_FAULT_HEAP_H

namespace fault_heap {

// Starts counting afresh. From now on the fail_at-th allocation (1 is the
// next one) and the fail_count - 1 after it return null; fail_at 0 lets
// every allocation succeed.
void reset(int fail_at = 0, int fail_count = 1);

// Allocations asked for since reset, failed ones included.
int allocations();

// Blocks handed out since reset and not freed yet.
int live();

// Whether ptr was passed to LocalFree since reset.
bool freed(const void *ptr);

} // namespace fault_heap

#endif
