// The test programs' entry point. A program ends as any program does, its libraries' detach
// and all: a crash on the way out (once, under the 32-bit tree, a library's thread-local
// destructor once another thread had run) is part of its verdict.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
