# Steps shared by the cross builds (tools/linux-cross-build.sh, tools/linux-cross-jvm.sh,
# tools/windows-build.sh), which source this file after setting $root (the repository) and
# $jdk (the host JDK).

# The Linux platforms the jar carries besides linux-x86_64, as NativeLoader names them.
cross_platforms="aarch64 armv7 ppc64le s390x riscv64"

# cross_platform NAME sets, for linux-NAME: cross (the GNU triple, which names Debian's
# g++-TRIPLE, its sysroot /usr/TRIPLE and cmake/TRIPLE.cmake), qemu (its qemu-user
# program), debarch (Debian's name of the architecture, for its JRE) and glibc_max (the
# newest glibc symbol version the library may import: glibc's riscv64 port began at 2.27,
# the others are far older, so 2.28 bounds them all) and cflags (what the programs built
# here without CMake add, as CMakeLists.txt does for the platform) and elf (what readelf -hA
# must show of its library, lines joined by ';': byte order, machine and ABI).
cross_platform() {
  glibc_max=2.28 cflags=
  case $1 in
    aarch64) cross=aarch64-linux-gnu qemu=qemu-aarch64 debarch=arm64
      elf='little endian;.*Machine: AArch64;' ;;
    armv7) cross=arm-linux-gnueabihf qemu=qemu-arm debarch=armhf cflags=-D_FILE_OFFSET_BITS=64
      elf='little endian;.*Machine: ARM;.*hard-float ABI;.*Tag_CPU_arch: v7;' ;;
    ppc64le) cross=powerpc64le-linux-gnu qemu=qemu-ppc64le debarch=ppc64el
      elf='little endian;.*Machine: PowerPC64;.*abiv2;' ;;
    s390x) cross=s390x-linux-gnu qemu=qemu-s390x debarch=s390x
      elf='big endian;.*Machine: IBM S/390;' ;;
    riscv64) cross=riscv64-linux-gnu qemu=qemu-riscv64 debarch=riscv64
      elf='little endian;.*Machine: RISC-V;.*double-float ABI;' ;;
    *) echo "cross: no Linux platform $1 (one of: $cross_platforms)" >&2; return 1 ;;
  esac
}

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
