#include "net/acceptpacing.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void AcceptPacing::trimMemory()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}
