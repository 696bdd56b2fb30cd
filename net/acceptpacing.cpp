#include "net/acceptpacing.h"

#include <cstdlib> // says whether the C library is glibc, before the test below

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void AcceptPacing::trimMemory()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}
