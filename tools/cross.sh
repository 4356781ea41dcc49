# Steps shared by the cross builds (tools/aarch64-build.sh, tools/windows-build.sh), which
# source this file after setting $root (the repository) and $jdk (the host JDK).

# Configures BUILD for the CMake toolchain file TOOLCHAIN, with jni.h from the host JDK and
# jni_md.h from the directory JNI_MD, then builds the library and the jar that carries it.
# The project's -Wall -Wextra, with -Werror: no warning goes unnoticed in CI logs.
cross_build_library() {
  local build=$1 toolchain=$2 jni_md=$3
  cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DDBIFACE_TESTS=OFF \
    -DCMAKE_CXX_FLAGS=-Werror \
    -DJAVA_INCLUDE_PATH="$jdk/include" \
    -DJAVA_INCLUDE_PATH2="$jni_md" \
    -DJAVA_AWT_INCLUDE_PATH="$jdk/include" \
    -DJAVA_JVM_LIBRARY="$jdk/lib/server/libjvm.so" \
    -DJAVA_AWT_LIBRARY="$jdk/lib/libjawt.so" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target gameserver_DBIface dbiface_jar_native
}

# Cross-builds GoogleTest from /usr/src/googletest for TOOLCHAIN into BUILD/googletest/prefix,
# unless an earlier run did.
cross_build_gtest() {
  local gtest=$1/googletest toolchain=$2
  [ ! -f "$gtest/prefix/lib/libgtest_main.a" ] || return 0
  cmake -S /usr/src/googletest -B "$gtest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest/prefix" >/dev/null
  cmake --build "$gtest" -j"$(nproc)" >/dev/null
  cmake --install "$gtest" >/dev/null
}
