# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; programs run
# under qemu-user with the cross sysroot (tools/aarch64-build.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(_cross aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${_cross}-gcc)
set(CMAKE_CXX_COMPILER ${_cross}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${_cross})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${_cross})
