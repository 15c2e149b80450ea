// The entry point of every test program: nothing runs outside a test prefix.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include "test_prefix.h"

int main(int argc, char** argv)
{
    if (!test::InTestPrefix())
        return test::foreignPrefixExitCode;
    return doctest::Context(argc, argv).run();
}
