# 64-bit little-endian POWER Linux (linux-ppc64le): Debian's ppc64el.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(_cross powerpc64le-linux-gnu)
set(_qemu qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
