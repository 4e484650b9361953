# Cross-compiling for the board: 32-bit ARM Linux (Debian's armel port) with
# Debian's arm-linux-gnueabi toolchain. The toolchain brings its own C library
# and libstdc++ (/usr/arm-linux-gnueabi); every other library the recorder
# links comes from an armel sysroot of unpacked Debian packages that
# scripts/cross-build.sh makes (DIVIV_ARM_SYSROOT, /opt/diviv/armel-sysroot by
# default). Programs built here run on a PC under qemu-arm with that sysroot as
# their root, which is how ctest runs the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

if(NOT DIVIV_ARM_SYSROOT)
  if(DEFINED ENV{DIVIV_ARM_SYSROOT})
    set(DIVIV_ARM_SYSROOT "$ENV{DIVIV_ARM_SYSROOT}")
  else()
    set(DIVIV_ARM_SYSROOT /opt/diviv/armel-sysroot)
  endif()
endif()
set(DIVIV_ARM_SYSROOT "${DIVIV_ARM_SYSROOT}" CACHE PATH "armel libraries unpacked from Debian packages")
# try_compile projects see the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DIVIV_ARM_SYSROOT)

# Libraries, headers and package files from the sysroot (then the
# toolchain's own folder); programs from the host.
set(CMAKE_FIND_ROOT_PATH ${DIVIV_ARM_SYSROOT} /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit file offsets and inode numbers, as on a 64-bit system: without
# them a 32-bit program cannot open or stat a file of 2 GiB or more, and
# readdir fails (EOVERFLOW) on file systems with 64-bit directory offsets.
set(_diviv_arm_lfs "-D_FILE_OFFSET_BITS=64")

# Headers that pkg-config leaves out as "system" folders (x264.h, zlib.h,
# png.h in /usr/include of the sysroot), searched after the project's own.
set(_diviv_arm_flags
  "-idirafter ${DIVIV_ARM_SYSROOT}/usr/include/arm-linux-gnueabi -idirafter ${DIVIV_ARM_SYSROOT}/usr/include")
set(CMAKE_C_FLAGS_INIT "${_diviv_arm_lfs} ${_diviv_arm_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_diviv_arm_lfs} ${_diviv_arm_flags}")
# Libraries the linked ones need in turn are found in the sysroot too.
foreach(dir lib/arm-linux-gnueabi usr/lib/arm-linux-gnueabi)
  string(APPEND _diviv_arm_link " -L${DIVIV_ARM_SYSROOT}/${dir} -Wl,-rpath-link,${DIVIV_ARM_SYSROOT}/${dir}")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_diviv_arm_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_diviv_arm_link}")

# ARMv5 has no 64-bit atomic instructions: std::atomic<int64_t> calls libatomic.
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-latomic")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")

# pkg-config reads only the sysroot's .pc files and prefixes their paths.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR}
  "${DIVIV_ARM_SYSROOT}/usr/lib/arm-linux-gnueabi/pkgconfig:${DIVIV_ARM_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${DIVIV_ARM_SYSROOT}")

# Tests (and GoogleTest's discovery) run under qemu-arm with the sysroot as root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${DIVIV_ARM_SYSROOT})
