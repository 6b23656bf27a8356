// The entry point of every test program: GoogleTest, aimed at the reference service of the test run.
#include <gtest/gtest.h>

#include "core/config.h"
#include "core/holders.h"
#include "support/test_support.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // The windows under test paint with GDI+, as in the program.
    GdiplusSession gdiplus;
    if (std::wstring endpoint = TestServiceEndpoint(); !endpoint.empty()) SetServiceEndpointForTesting(endpoint);
    return RUN_ALL_TESTS();
}
