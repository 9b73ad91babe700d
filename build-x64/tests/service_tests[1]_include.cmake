if(EXISTS "/work/main/build-x64/tests/service_tests.exe")
  if(NOT EXISTS "/work/main/build-x64/tests/service_tests[1]_tests.cmake" OR
     NOT "/work/main/build-x64/tests/service_tests[1]_tests.cmake" IS_NEWER_THAN "/work/main/build-x64/tests/service_tests.exe" OR
     NOT "/work/main/build-x64/tests/service_tests[1]_tests.cmake" IS_NEWER_THAN "${CMAKE_CURRENT_LIST_FILE}")
    include("/usr/share/cmake-3.25/Modules/GoogleTestAddTests.cmake")
    gtest_discover_tests_impl(
      TEST_EXECUTABLE [==[/work/main/build-x64/tests/service_tests.exe]==]
      TEST_EXECUTOR [==[wine]==]
      TEST_WORKING_DIR [==[/work/main/build-x64/tests]==]
      TEST_EXTRA_ARGS [==[]==]
      TEST_PROPERTIES [==[TIMEOUT;180;RUN_SERIAL;FALSE]==]
      TEST_PREFIX [==[]==]
      TEST_SUFFIX [==[]==]
      TEST_FILTER [==[]==]
      NO_PRETTY_TYPES [==[FALSE]==]
      NO_PRETTY_VALUES [==[FALSE]==]
      TEST_LIST [==[service_tests_TESTS]==]
      CTEST_FILE [==[/work/main/build-x64/tests/service_tests[1]_tests.cmake]==]
      TEST_DISCOVERY_TIMEOUT [==[60]==]
      TEST_XML_OUTPUT_DIR [==[]==]
    )
  endif()
  include("/work/main/build-x64/tests/service_tests[1]_tests.cmake")
else()
  add_test(service_tests_NOT_BUILT service_tests_NOT_BUILT)
endif()
