// Control interface of the call-counting library (test support), for tests
// that preload it; Python reaches it through ctypes.
#ifndef CALLCOUNT_H
#define CALLCOUNT_H

#include <stddef.h> // NOLINT(modernize-deprecated-headers): C as well as C++

#ifdef __cplusplus
extern "C" {
#endif

// Counts from now on only the calls made from the code of the shared object
// at path (any name of it). 0, or -1 when no such object is loaded.
int callcount_watch(const char *path);
// Zeroes the call counts and forgets the allocations made so far.
void callcount_reset(void);
// Calls made to a counted function ("malloc", "calloc", "realloc", "free",
// "operator new", "operator delete", "PyDict_Size", "PyDict_GetItem",
// "PyDict_GetItemWithError", "PyDict_GetItemString", "PyDict_Next",
// "PyDict_New", "PyDict_SetItem", "PyDict_SetItemString", "PyLong_AsLong",
// "PyLong_FromLong", "PyInt_FromLong", "PyErr_Occurred") since the last
// reset; ULONG_MAX for any other name.
unsigned long callcount_calls(const char *name);
// Heap blocks the watched object allocated since the last reset that nobody
// has freed yet.
unsigned callcount_live_blocks(void);
// Sizes of the watched object's allocations since the last reset, in order:
// copies up to max of them and returns how many there were.
unsigned callcount_allocation_sizes(size_t *sizes, unsigned max);

#ifdef __cplusplus
}
#endif

#endif // CALLCOUNT_H
