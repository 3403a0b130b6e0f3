# Shared by the toolchain files: cross-compiles with Debian's compiler for
# CROSS_TRIPLE and runs what it builds (the tests) under qemu-user's CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The loader comes from the cross toolchain's libraries, and so must the
# libraries it loads: where the architecture's own runtime is installed too
# (libc6:arm64, for the packages' dependencies), the machine's loader cache
# names that one, of another build, and the two don't mix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU} -L /usr/${CROSS_TRIPLE}
  -E LD_LIBRARY_PATH=/usr/${CROSS_TRIPLE}/lib)
