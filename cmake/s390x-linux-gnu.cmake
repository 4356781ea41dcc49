# IBM Z Linux (linux-s390x), the big-endian one.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(_cross s390x-linux-gnu)
set(_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
