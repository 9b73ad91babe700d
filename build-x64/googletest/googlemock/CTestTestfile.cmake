# CMake generated Testfile for 
# Source directory: /usr/src/googletest/googlemock
# Build directory: /work/main/build-x64/googletest/googlemock
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
subdirs("../googletest")
