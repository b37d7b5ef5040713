# 32-bit ARM, hard float (armhf), with Debian's cross compiler
# (g++-arm-linux-gnueabihf). Target programs, the tests among them, run
# under qemu user-mode emulation (qemu-user).
#
# At run time qemu takes the armhf libraries from the multiarch root that
# Debian's libc6:armhf and libstdc++6:armhf install, as a Debian armhf board
# has them. The cross sysroot's own glibc (2.36-8cross1) crashes at the exit
# of any threaded program under qemu 7.2, so it is used only to link.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
# Debian's multiarch triplet: libraries, the CMake package and the
# pkg-config file install under lib/arm-linux-gnueabihf, where a Debian
# armhf system and a cross build look for them.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(QUELMAR_ARM_TRIPLE arm-linux-gnueabihf)
set(QUELMAR_ARM_SYSROOT /usr/${QUELMAR_ARM_TRIPLE})

set(CMAKE_C_COMPILER ${QUELMAR_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUELMAR_ARM_TRIPLE}-g++)
set(CMAKE_STRIP ${QUELMAR_ARM_TRIPLE}-strip CACHE FILEPATH "")

find_program(QUELMAR_QEMU_ARM qemu-arm REQUIRED)
set(QUELMAR_ARM_RUNTIME_ROOT / CACHE PATH
    "Root holding the armhf runtime (lib/ld-linux-armhf.so.3) for qemu")
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELMAR_QEMU_ARM} -L
    ${QUELMAR_ARM_RUNTIME_ROOT})

set(CMAKE_FIND_ROOT_PATH ${QUELMAR_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi") # ABI notes about GCC 7.1, not warnings
