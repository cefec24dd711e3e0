#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include <objbase.h>

// Tests act as a free-threaded client, the way most OPC clients do.
int main(int argc, char** argv)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    doctest::Context context(argc, argv);
    int result = context.run();
    CoUninitialize();
    return result;
}
