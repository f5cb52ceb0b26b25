// The counting allocator (see alloc_count.h). Defined in the executable, these
// functions take the place of the C library's for every library the process
// loads (Qt included), so an allocation anywhere on the counted thread shows.
#include "bench/alloc_count.h"

#include <cstddef>
#include <new>

extern "C" {
// The C library's allocator under its own names; what the replacements call.
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void *block);
}

namespace {

// Thread-local and plain: the executable's own TLS needs no allocation, so
// reading it inside malloc cannot recurse.
thread_local bool counting = false;
thread_local long counted = 0;

inline void note()
{
    if (counting)
        ++counted;
}

void *aligned(std::size_t alignment, std::size_t size)
{
    note();
    return __libc_memalign(alignment, size ? size : 1);
}

} // namespace

namespace bench {

void count_allocations(bool on)
{
    counted = 0;
    counting = on;
}

long allocations()
{
    return counted;
}

} // namespace bench

extern "C" {

void *malloc(std::size_t size)
{
    note();
    return __libc_malloc(size);
}

void *calloc(std::size_t count, std::size_t size)
{
    note();
    return __libc_calloc(count, size);
}

void *realloc(void *block, std::size_t size)
{
    note();
    return __libc_realloc(block, size);
}

int posix_memalign(void **out, std::size_t alignment, std::size_t size)
{
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return 22; // EINVAL
    void *block = aligned(alignment, size);
    if (!block)
        return 12; // ENOMEM
    *out = block;
    return 0;
}

void free(void *block)
{
    __libc_free(block);
}

} // extern "C"

// The global operator new, counted once here (it does not go through malloc
// above, so nothing is counted twice).
namespace {

void *plain_new(std::size_t size)
{
    note();
    void *block = __libc_malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    return block;
}

void *aligned_new(std::size_t size, std::align_val_t alignment)
{
    void *block = aligned(static_cast<std::size_t>(alignment), size);
    if (!block)
        throw std::bad_alloc();
    return block;
}

} // namespace

void *operator new(std::size_t size)
{
    return plain_new(size);
}

void *operator new[](std::size_t size)
{
    return plain_new(size);
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    note();
    return __libc_malloc(size ? size : 1);
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    note();
    return __libc_malloc(size ? size : 1);
}

void *operator new(std::size_t size, std::align_val_t alignment)
{
    return aligned_new(size, alignment);
}

void *operator new[](std::size_t size, std::align_val_t alignment)
{
    return aligned_new(size, alignment);
}

void operator delete(void *block) noexcept
{
    __libc_free(block);
}

void operator delete[](void *block) noexcept
{
    __libc_free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    __libc_free(block);
}

void operator delete[](void *block, std::size_t) noexcept
{
    __libc_free(block);
}

void operator delete(void *block, std::align_val_t) noexcept
{
    __libc_free(block);
}

void operator delete[](void *block, std::align_val_t) noexcept
{
    __libc_free(block);
}

void operator delete(void *block, std::size_t, std::align_val_t) noexcept
{
    __libc_free(block);
}

void operator delete[](void *block, std::size_t, std::align_val_t) noexcept
{
    __libc_free(block);
}
