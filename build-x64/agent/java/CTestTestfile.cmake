# CMake generated Testfile for 
# Source directory: /work/main/agent/java
# Build directory: /work/main/build-x64/agent/java
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[SampleApplication.stop-ends-main]=] "/usr/bin/java" "-cp" "/work/main/build-x64/agent/java/merivast-agent.jar:/work/main/build-x64/agent/java/test-classes:/usr/share/java/commons-logging.jar:/usr/share/java/log4j-1.2.jar" "-Dlog4j.configuration=file:/work/main/agent/java/conf/log4j.properties" "-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger" "com.merivast.agent.MerivastMainContractTest" "stop-ends-main" "/work/main/build-x64/agent/java/contract-stop-ends-main")
set_tests_properties([=[SampleApplication.stop-ends-main]=] PROPERTIES  PASS_REGULAR_EXPRESSION "PASS stop-ends-main" TIMEOUT "60" _BACKTRACE_TRIPLES "/work/main/agent/java/CMakeLists.txt;36;add_test;/work/main/agent/java/CMakeLists.txt;0;")
add_test([=[SampleApplication.stop-before-main]=] "/usr/bin/java" "-cp" "/work/main/build-x64/agent/java/merivast-agent.jar:/work/main/build-x64/agent/java/test-classes:/usr/share/java/commons-logging.jar:/usr/share/java/log4j-1.2.jar" "-Dlog4j.configuration=file:/work/main/agent/java/conf/log4j.properties" "-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger" "com.merivast.agent.MerivastMainContractTest" "stop-before-main" "/work/main/build-x64/agent/java/contract-stop-before-main")
set_tests_properties([=[SampleApplication.stop-before-main]=] PROPERTIES  PASS_REGULAR_EXPRESSION "PASS stop-before-main" TIMEOUT "60" _BACKTRACE_TRIPLES "/work/main/agent/java/CMakeLists.txt;36;add_test;/work/main/agent/java/CMakeLists.txt;0;")
