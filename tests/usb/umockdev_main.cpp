// The emulated-chip tests run under umockdev's preload: the program starts itself again under it.
#include <gtest/gtest.h>

#include "tests/usb/emulated_ftdi_chip.h"

int main(int argc, char** argv) {
    zolt::testing::RunUnderUmockdev(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
