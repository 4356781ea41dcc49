# Cross-compiles for Linux with Debian's g++-${_cross}; the platform's toolchain file sets
# _cross (the GNU triple), _qemu (the qemu-user program) and CMAKE_SYSTEM_PROCESSOR, then
# includes this one. Programs run under qemu-user with the cross sysroot
# (tools/linux-cross-build.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${_cross}-gcc)
set(CMAKE_CXX_COMPILER ${_cross}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${_cross})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu} -L /usr/${_cross})
