# 64-bit ARM Linux (linux-aarch64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(_cross aarch64-linux-gnu)
set(_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
