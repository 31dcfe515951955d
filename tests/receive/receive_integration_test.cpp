// placeholder while the emulator lands
#include <gtest/gtest.h>
