# Puts the JNI library into the jar under META-INF/native/gameserver-dbiface/OS-ARCH/, where
# gameserver.NativeLoader looks for it, so the jar alone is enough at run time; beside it the
# list of platforms the jar carries, and META-INF/LICENSE and META-INF/NOTICE. The library is
# built after the jar (it needs the headers javac generates), so the jar is updated in place
# afterwards.
# tools/package.sh puts the other platforms' libraries beside this one.
string(TOLOWER "${CMAKE_SYSTEM_NAME}" _dbiface_os)
if(_dbiface_os STREQUAL "darwin")
  set(_dbiface_os macos)
endif()
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" _dbiface_arch)
if(_dbiface_arch MATCHES "^(x86_64|amd64|x64)$")
  set(_dbiface_arch x86_64)
elseif(_dbiface_arch MATCHES "^(aarch64|arm64)$")
  set(_dbiface_arch aarch64)
elseif(_dbiface_arch MATCHES "^(arm|armv7|armv7l|armhf)$")
  # 32-bit ARM is built for ARMv7 with hard float only, as NativeLoader names it.
  set(_dbiface_arch armv7)
endif()
set(DBIFACE_JAR_PLATFORM "${_dbiface_os}-${_dbiface_arch}")

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/platforms "${DBIFACE_JAR_PLATFORM}\n")
set(_dbiface_stage ${CMAKE_CURRENT_BINARY_DIR}/jar-native)
set(_dbiface_native META-INF/native/gameserver-dbiface)
set(_dbiface_staged ${_dbiface_stage}/${_dbiface_native}/${DBIFACE_JAR_PLATFORM}/$<TARGET_FILE_NAME:gameserver_DBIface>)
# Debug information stays in the build tree's copy; the jar carries a lean one.
set(_dbiface_strip ${CMAKE_COMMAND} -E true)
if(CMAKE_STRIP)
  set(_dbiface_strip ${CMAKE_STRIP} --strip-debug ${_dbiface_staged})
endif()
set(_dbiface_stamp ${CMAKE_CURRENT_BINARY_DIR}/jar-native.stamp)
add_custom_command(OUTPUT ${_dbiface_stamp}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_dbiface_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_dbiface_stage}/${_dbiface_native}/${DBIFACE_JAR_PLATFORM}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:gameserver_DBIface> ${_dbiface_staged}
  COMMAND ${_dbiface_strip}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_BINARY_DIR}/platforms ${_dbiface_stage}/${_dbiface_native}/platforms
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${_dbiface_stage}/META-INF/LICENSE
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/NOTICE ${_dbiface_stage}/META-INF/NOTICE
  COMMAND ${Java_JAR_EXECUTABLE} --update --file ${DBIFACE_JAR} -C ${_dbiface_stage} META-INF
  COMMAND ${CMAKE_COMMAND} -E touch ${_dbiface_stamp}
  DEPENDS gameserver_DBIface dbiface_jar ${DBIFACE_JAR} ${PROJECT_SOURCE_DIR}/LICENSE
    ${PROJECT_SOURCE_DIR}/NOTICE
  COMMENT "Bundling the JNI library into ${DBIFACE_JAR}"
  VERBATIM)
add_custom_target(dbiface_jar_native ALL DEPENDS ${_dbiface_stamp})
