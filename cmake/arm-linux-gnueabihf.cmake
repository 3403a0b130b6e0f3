# Cross build for 32-bit ARM hard-float (armhf) with g++-arm-linux-gnueabihf;
# tests run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
