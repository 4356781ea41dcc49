# JUnit 5 as Debian's junit5 package ships it: the Jupiter API and params to compile the
# Java tests against, the console launcher to run them from ctest. Without it the Java tests
# are not built (tools/test.sh says which package to install).
set(_junit_dir /usr/share/java)
set(DBIFACE_JUNIT_COMPILE)
foreach(_j junit-jupiter-api junit-jupiter-params apiguardian-api opentest4j junit-platform-commons)
  find_file(DBIFACE_JUNIT_${_j} ${_j}.jar PATHS ${_junit_dir} NO_DEFAULT_PATH)
  list(APPEND DBIFACE_JUNIT_COMPILE ${DBIFACE_JUNIT_${_j}})
endforeach()
find_file(DBIFACE_JUNIT_CONSOLE junit-platform-console-standalone.jar PATHS ${_junit_dir}
  NO_DEFAULT_PATH)
if(DBIFACE_JUNIT_CONSOLE AND NOT DBIFACE_JUNIT_COMPILE MATCHES "NOTFOUND")
  set(DBIFACE_JUNIT ON)
else()
  set(DBIFACE_JUNIT OFF)
  message(STATUS "JUnit 5 not found in ${_junit_dir} (package junit5): no Java tests")
endif()

set(DBIFACE_JDK25_JAVA /usr/lib/jvm/temurin-25-jdk-amd64/bin/java CACHE FILEPATH
  "java of a JDK 24+ to run the JVM-side tests with as well (skipped when missing)")

# dbiface_junit_test(NAME JAVA LABEL CLASSPATH SELECT [JVM_ARGS...] [WRAP cmd...])
# One ctest entry: the console launcher on JAVA (with -Xcheck:jni) runs the selected
# classes and leaves XML reports in junit-reports/NAME. A JAVA that is not installed makes
# the entry skip (exit 77).
function(dbiface_junit_test)
  cmake_parse_arguments(J "" "NAME;JAVA;LABEL;CLASSPATH" "SELECT;JVM_ARGS;WRAP" ${ARGN})
  set(_select)
  foreach(_c ${J_SELECT})
    list(APPEND _select --select-class ${_c})
  endforeach()
  add_test(NAME ${J_NAME}
    COMMAND ${PROJECT_SOURCE_DIR}/tests/packaging/with-java.sh ${J_JAVA} -- ${J_WRAP} ${J_JAVA}
      -Xcheck:jni --enable-native-access=ALL-UNNAMED ${J_JVM_ARGS}
      -jar ${DBIFACE_JUNIT_CONSOLE} --disable-banner --disable-ansi-colors --fail-if-no-tests --details=tree
      --class-path ${J_CLASSPATH} ${_select}
      --reports-dir ${CMAKE_BINARY_DIR}/junit-reports/${J_NAME}
      --config junit.jupiter.execution.parallel.enabled=true
      --config junit.jupiter.execution.parallel.config.strategy=fixed
      --config junit.jupiter.execution.parallel.config.fixed.parallelism=2)
  # The parent's locale encodes the children's arguments and file names.
  set_tests_properties(${J_NAME} PROPERTIES LABELS ${J_LABEL} SKIP_RETURN_CODE 77
    TIMEOUT 900 ENVIRONMENT "LC_ALL=C.UTF-8")
endfunction()
