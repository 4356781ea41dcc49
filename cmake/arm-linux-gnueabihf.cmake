# 32-bit ARM Linux, ARMv7 with hard float (linux-armv7): Debian's armhf.
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(_cross arm-linux-gnueabihf)
set(_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
