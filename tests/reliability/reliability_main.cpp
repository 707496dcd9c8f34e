// Main of the reliability programs: the program's window is open before the
// first test and stays open for all of them.
#include <gtest/gtest.h>

#include "reliability_env.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    reliability::prepare_program(E2E_IMAGE);
    reliability::end_program(RUN_ALL_TESTS());
}
