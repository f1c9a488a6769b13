// Windows test executables link with -municode, whose start-up code calls wmain, while
// gtest_main only provides main. Natively gtest_main's main is used as is.
#ifdef _WIN32
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
#endif
