// Main of the end-to-end test programs: the program's window is open before
// the first test and stays open for all of them.
#include <gtest/gtest.h>

#include "e2e_env.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    e2e::prepare_program(E2E_IMAGE);
    e2e::end_program(RUN_ALL_TESTS());
}
