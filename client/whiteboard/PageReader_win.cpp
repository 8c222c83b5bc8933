#include "PageReader.h"

#include <cstdlib>

char* PageBytes::allocate(size_t bytes)
{
    // Large pages need a privilege a teacher's account does not have.
    return static_cast<char*>(std::malloc(bytes));
}
