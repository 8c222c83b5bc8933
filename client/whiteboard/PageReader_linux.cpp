#include "PageReader.h"

#include <sys/mman.h>

#include <cstdlib>

char* PageBytes::allocate(size_t bytes)
{
    // A large file goes into huge pages: on 4 KB pages a 200 MB page file takes 50,000 page
    // faults on its way in, which is most of the time its read takes.
    constexpr size_t kHugePage = 2 << 20;
    if (bytes < kHugePage)
        return static_cast<char*>(std::malloc(bytes));
    const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* room = std::aligned_alloc(kHugePage, rounded);
    if (room)
        madvise(room, rounded, MADV_HUGEPAGE); // advice only: without it the pages are small
    return static_cast<char*>(room);
}
