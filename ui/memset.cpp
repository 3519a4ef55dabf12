// The program has no C runtime, but GCC still calls memset to zero a structure.
#include <stddef.h>

extern "C" void *memset(void *destination, int value, size_t count)
{
    unsigned char *byte = (unsigned char *)destination;

    while (count--)
        *byte++ = (unsigned char)value;
    return destination;
}
