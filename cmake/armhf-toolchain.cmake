# Cross build for 32-bit ARM hard-float (armhf) with Debian's cross compilers and the
# armhf multiarch packages (libasound2-dev:armhf, libgtest-dev:armhf); the tests run
# under qemu-arm (scripts/test-armhf). Use: cmake --preset armhf (CMakePresets.json), or
# cmake -DCMAKE_TOOLCHAIN_FILE=<this file>. The armhf package's cross build does without it:
# debhelper names the cross compilers and pkg-config itself (debian/rules).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# The cross toolchain's own root first, then the host's multiarch directories
# (/usr/lib/arm-linux-gnueabihf: libasound, libgtest and their CMake and pkg-config files).
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# ARM programs (the test executable during test discovery and every test, and the
# programs the tests start) run under qemu-arm; binfmt_misc is not needed. "-L /": the
# loader and every library come from the armhf multiarch packages (libc6:armhf,
# libstdc++6:armhf, libasound2:armhf), as on a board. The cross toolchain's own root
# (-L /usr/arm-linux-gnueabihf) would pair its ld.so with libc6:armhf's libc.so.6, which
# need not be the same glibc build.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
