# CMake generated Testfile for 
# Source directory: /work/main/tests
# Build directory: /work/main/build-x64/tests
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build-x64/tests/launch_options_tests[1]_include.cmake")
include("/work/main/build-x64/tests/service_frame_tests[1]_include.cmake")
include("/work/main/build-x64/tests/binary_tests[1]_include.cmake")
include("/work/main/build-x64/tests/outside_scm_tests[1]_include.cmake")
include("/work/main/build-x64/tests/service_tests[1]_include.cmake")
include("/work/main/build-x64/tests/host_tests[1]_include.cmake")
subdirs("../googletest")
subdirs("standin")
