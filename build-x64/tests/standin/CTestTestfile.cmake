# CMake generated Testfile for 
# Source directory: /work/main/tests/standin
# Build directory: /work/main/build-x64/tests/standin
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build-x64/tests/standin/standin_tests[1]_include.cmake")
