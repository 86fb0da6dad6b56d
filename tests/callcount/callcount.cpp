// Test support: counts the calls that one shared object (the module under
// test) makes to the heap functions and to the interpreter's dictionary,
// integer and error functions. Preloaded (LD_PRELOAD) into a test process,
// its definitions come first in the dynamic linker's lookup, so the module's
// calls to these names reach them; each counts the call when its return
// address lies in the watched object's code, and hands it on to the next
// definition (the C library's, the interpreter's). Never linked into the
// product.
//
// Calls into the interpreter are seen only where the interpreter's runtime
// is a shared library: an interpreter that carries its runtime in its own
// executable binds the module's calls there, ahead of any preloaded library.
#pragma GCC visibility push(default)
#include "callcount.h"
#pragma GCC visibility pop

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <new>

#define CALLCOUNT_EXPORT extern "C" __attribute__((visibility("default")))

// The C library's own allocator, under the names it also exports, so that no
// symbol lookup (which may itself allocate) is needed to reach it.
// NOLINTBEGIN(bugprone-reserved-identifier): the C library's names
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void __libc_free(void *pointer);
}
// NOLINTEND(bugprone-reserved-identifier)

namespace {

// Counted functions; callcount_calls() takes these names.
enum Counted : unsigned {
    malloc_call,
    calloc_call,
    realloc_call,
    free_call,
    new_call,
    delete_call,
    dict_size,
    dict_get_item,
    dict_get_item_with_error,
    dict_get_item_string,
    dict_next,
    dict_new,
    dict_set_item,
    dict_set_item_string,
    dict_del_item_string,
    long_as_long,
    long_from_long,
    int_from_long,
    err_occurred,
    counted_total,
};

const char *const counted_names[counted_total] = {
    "malloc",
    "calloc",
    "realloc",
    "free",
    "operator new",
    "operator delete",
    "PyDict_Size",
    "PyDict_GetItem",
    "PyDict_GetItemWithError",
    "PyDict_GetItemString",
    "PyDict_Next",
    "PyDict_New",
    "PyDict_SetItem",
    "PyDict_SetItemString",
    "PyDict_DelItemString",
    "PyLong_AsLong",
    "PyLong_FromLong",
    "PyInt_FromLong",
    "PyErr_Occurred",
};

std::atomic<unsigned long> counts[counted_total];

// The watched object's executable segments.
struct Range {
    uintptr_t begin;
    uintptr_t end;
};
constexpr int max_ranges = 8;
Range ranges[max_ranges];
std::atomic<int> range_count{0};

bool from_watched(const void *return_address)
{
    const auto address = reinterpret_cast<uintptr_t>(return_address);
    const int count = range_count.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        if (address >= ranges[i].begin && address < ranges[i].end)
            return true;
    }
    return false;
}

void tally(Counted which, const void *return_address)
{
    if (from_watched(return_address))
        counts[which].fetch_add(1, std::memory_order_relaxed);
}

// Blocks the watched object allocated since the last reset that nobody has
// freed yet, and the sizes of those allocations.
constexpr unsigned max_live = 64;
constexpr unsigned max_sizes = 64;
std::mutex heap_mutex;
void *live[max_live];
unsigned live_count = 0;
std::atomic<unsigned> live_any{0};
size_t allocation_sizes[max_sizes];
unsigned size_count = 0;
unsigned lost = 0; // blocks that did not fit into live

void allocated(void *pointer, size_t size, const void *return_address)
{
    if (pointer == nullptr || !from_watched(return_address))
        return;
    std::lock_guard<std::mutex> hold(heap_mutex);
    if (size_count < max_sizes)
        allocation_sizes[size_count] = size;
    ++size_count;
    if (live_count < max_live)
        live[live_count++] = pointer;
    else
        ++lost;
    live_any.store(live_count, std::memory_order_release);
}

// Whoever frees a block the watched object allocated, it is released.
void released(const void *pointer)
{
    if (pointer == nullptr || live_any.load(std::memory_order_acquire) == 0)
        return;
    std::lock_guard<std::mutex> hold(heap_mutex);
    for (unsigned i = 0; i < live_count; ++i) {
        if (live[i] == pointer) {
            live[i] = live[--live_count];
            break;
        }
    }
    live_any.store(live_count, std::memory_order_release);
}

template <typename Fn> Fn next_definition(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// The interpreter's object type is opaque here: only pointers pass through.
using Object = void *;

struct WatchRequest {
    const char *path;
    int found;
};

int add_ranges(dl_phdr_info *info, size_t /*size*/, void *data)
{
    auto *request = static_cast<WatchRequest *>(data);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0')
        return 0;
    char *real = realpath(info->dlpi_name, nullptr);
    const bool match = real != nullptr && std::strcmp(real, request->path) == 0;
    std::free(real);
    if (!match)
        return 0;
    int count = 0;
    for (int i = 0; i < info->dlpi_phnum && count < max_ranges; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
            ranges[count].begin = info->dlpi_addr + segment.p_vaddr;
            ranges[count].end = ranges[count].begin + segment.p_memsz;
            ++count;
        }
    }
    request->found = count;
    return 1;
}

} // namespace

// ------------------------------------------------------------ control

CALLCOUNT_EXPORT int callcount_watch(const char *path)
{
    char *real = realpath(path, nullptr);
    if (real == nullptr)
        return -1;
    range_count.store(0, std::memory_order_release);
    WatchRequest request{real, 0};
    dl_iterate_phdr(add_ranges, &request);
    std::free(real);
    range_count.store(request.found, std::memory_order_release);
    return request.found > 0 ? 0 : -1;
}

CALLCOUNT_EXPORT void callcount_reset(void)
{
    for (auto &counter : counts)
        counter.store(0, std::memory_order_relaxed);
    std::lock_guard<std::mutex> hold(heap_mutex);
    size_count = 0;
    live_count = 0;
    lost = 0;
    live_any.store(0, std::memory_order_release);
}

// The name of counter index, or nullptr past the last: the tests learn what
// is counted from here.
CALLCOUNT_EXPORT const char *callcount_name(unsigned index)
{
    return index < counted_total ? counted_names[index] : nullptr;
}

CALLCOUNT_EXPORT unsigned long callcount_calls(const char *name)
{
    for (unsigned i = 0; i < counted_total; ++i) {
        if (std::strcmp(counted_names[i], name) == 0)
            return counts[i].load(std::memory_order_relaxed);
    }
    return ULONG_MAX;
}

CALLCOUNT_EXPORT unsigned callcount_live_blocks(void)
{
    std::lock_guard<std::mutex> hold(heap_mutex);
    return live_count + lost;
}

CALLCOUNT_EXPORT unsigned callcount_allocation_sizes(size_t *sizes, unsigned max)
{
    std::lock_guard<std::mutex> hold(heap_mutex);
    for (unsigned i = 0; i < size_count && i < max && i < max_sizes; ++i)
        sizes[i] = allocation_sizes[i];
    return size_count;
}

// --------------------------------------------------------------- heap

CALLCOUNT_EXPORT void *malloc(size_t size)
{
    void *pointer = __libc_malloc(size);
    tally(malloc_call, __builtin_return_address(0));
    allocated(pointer, size, __builtin_return_address(0));
    return pointer;
}

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
CALLCOUNT_EXPORT void *calloc(size_t count, size_t size)
{
    void *pointer = __libc_calloc(count, size);
    tally(calloc_call, __builtin_return_address(0));
    allocated(pointer, count * size, __builtin_return_address(0));
    return pointer;
}

CALLCOUNT_EXPORT void *realloc(void *old, size_t size)
{
    released(old);
    void *pointer = __libc_realloc(old, size);
    tally(realloc_call, __builtin_return_address(0));
    allocated(pointer, size, __builtin_return_address(0));
    return pointer;
}

CALLCOUNT_EXPORT void free(void *pointer)
{
    tally(free_call, __builtin_return_address(0));
    released(pointer);
    __libc_free(pointer);
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)

namespace {

void *counted_new(size_t size, const void *return_address)
{
    void *pointer = __libc_malloc(size == 0 ? 1 : size);
    tally(new_call, return_address);
    allocated(pointer, size, return_address);
    return pointer;
}

void counted_delete(void *pointer, const void *return_address)
{
    tally(delete_call, return_address);
    released(pointer);
    __libc_free(pointer);
}

} // namespace

#pragma GCC visibility push(default)
void *operator new(size_t size)
{
    void *pointer = counted_new(size, __builtin_return_address(0));
    if (pointer == nullptr)
        throw std::bad_alloc();
    return pointer;
}
void *operator new[](size_t size)
{
    void *pointer = counted_new(size, __builtin_return_address(0));
    if (pointer == nullptr)
        throw std::bad_alloc();
    return pointer;
}
void *operator new(size_t size, const std::nothrow_t & /*tag*/) noexcept
{
    return counted_new(size, __builtin_return_address(0));
}
void *operator new[](size_t size, const std::nothrow_t & /*tag*/) noexcept
{
    return counted_new(size, __builtin_return_address(0));
}
void operator delete(void *pointer) noexcept
{
    counted_delete(pointer, __builtin_return_address(0));
}
void operator delete[](void *pointer) noexcept
{
    counted_delete(pointer, __builtin_return_address(0));
}
void operator delete(void *pointer, size_t /*size*/) noexcept
{
    counted_delete(pointer, __builtin_return_address(0));
}
void operator delete[](void *pointer, size_t /*size*/) noexcept
{
    counted_delete(pointer, __builtin_return_address(0));
}
void operator delete(void *pointer, const std::nothrow_t & /*tag*/) noexcept
{
    counted_delete(pointer, __builtin_return_address(0));
}
void operator delete[](void *pointer, const std::nothrow_t & /*tag*/) noexcept
{
    counted_delete(pointer, __builtin_return_address(0));
}
#pragma GCC visibility pop

// -------------------------------------------------------- interpreter

// NOLINTBEGIN(bugprone-macro-parentheses): result is a type
#define CALLCOUNT_FORWARD(counter, result, name, params, args)                                     \
    CALLCOUNT_EXPORT result name params                                                            \
    {                                                                                              \
        using fn = result(*) params;                                                               \
        static const fn real = next_definition<fn>(#name);                                         \
        tally(counter, __builtin_return_address(0));                                               \
        return real args;                                                                          \
    }
// NOLINTEND(bugprone-macro-parentheses)

CALLCOUNT_FORWARD(dict_size, intptr_t, PyDict_Size, (Object dict), (dict))
CALLCOUNT_FORWARD(dict_get_item, Object, PyDict_GetItem, (Object dict, Object key), (dict, key))
CALLCOUNT_FORWARD(dict_get_item_with_error, Object, PyDict_GetItemWithError,
                  (Object dict, Object key), (dict, key))
CALLCOUNT_FORWARD(dict_get_item_string, Object, PyDict_GetItemString,
                  (Object dict, const char *key), (dict, key))
CALLCOUNT_FORWARD(dict_next, int, PyDict_Next,
                  (Object dict, intptr_t *position, Object *key, Object *value),
                  (dict, position, key, value))
CALLCOUNT_FORWARD(dict_new, Object, PyDict_New, (void), ())
CALLCOUNT_FORWARD(dict_set_item, int, PyDict_SetItem, (Object dict, Object key, Object value),
                  (dict, key, value))
CALLCOUNT_FORWARD(dict_set_item_string, int, PyDict_SetItemString,
                  (Object dict, const char *key, Object value), (dict, key, value))
CALLCOUNT_FORWARD(dict_del_item_string, int, PyDict_DelItemString, (Object dict, const char *key),
                  (dict, key))
CALLCOUNT_FORWARD(long_as_long, long, PyLong_AsLong, (Object number), (number))
CALLCOUNT_FORWARD(long_from_long, Object, PyLong_FromLong, (long value), (value))
CALLCOUNT_FORWARD(int_from_long, Object, PyInt_FromLong, (long value), (value))
CALLCOUNT_FORWARD(err_occurred, Object, PyErr_Occurred, (void), ())
