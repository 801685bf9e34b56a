// The entry point of every end-to-end test program: the harness options are
// taken off the command line before GoogleTest sees it.
#include "e2e_support.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    hp::e2e::InitE2E(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
