# Cross build for the box: 32-bit little-endian MIPS, Debian's toolchain.
# Tests run through qemu-user with the target's C library tree.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel;-L;/usr/mipsel-linux-gnu)
# 64-bit atomics on MIPS32 come from libatomic, named after every object and
# library of a link (a flag of the link would come before them, too early
# for the static libraries that need it).
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-latomic")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")
