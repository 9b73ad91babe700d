// Entry of every test executable. A crash must fail the test: without this
// filter Wine starts its debugger, and under load the crashed test has been
// seen to exit 0.
#include <windows.h>

#include <gtest/gtest.h>

namespace {
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*) {
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(EndOnCrash);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
