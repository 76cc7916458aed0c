// Entry point of every C++ test binary: the crypto library is prepared once, first.
#include <gtest/gtest.h>

#include "crypto/initialize.hpp"

int main(int argc, char** argv) {
    corvel::initialize_crypto();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
