# 64-bit RISC-V Linux (linux-riscv64).
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(_cross riscv64-linux-gnu)
set(_qemu qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
