// Dereferences null on purpose: ctest must report this executable as failed.
#include <cstdio>

int main()
{
    std::puts("about to crash");
    std::fflush(stdout);
    volatile int* nowhere = nullptr;
    *nowhere = 42;
    return 0;
}
