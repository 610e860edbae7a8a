# Cross build for 64-bit Arm with the GNU C library: Debian's cross compiler
# (g++-aarch64-linux-gnu) and a root of Debian arm64 packages (TAVO_ARM64_ROOT) that holds
# the libraries, their headers and CMake packages, and the arm64 interpreter.
# scripts/arm64.sh fills the root. Tests and discovery run the arm64 binaries under
# qemu-user, with the root as the prefix for the loader and its libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(TAVO_ARM64_ROOT "$ENV{TAVO_ARM64_ROOT}" CACHE PATH "Root of the arm64 Debian packages")
if(NOT IS_DIRECTORY "${TAVO_ARM64_ROOT}/usr/lib/aarch64-linux-gnu")
    message(FATAL_ERROR "TAVO_ARM64_ROOT (${TAVO_ARM64_ROOT}) holds no arm64 libraries")
endif()
# try_compile projects see the root too: whole projects through the environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVO_ARM64_ROOT)
set(ENV{TAVO_ARM64_ROOT} "${TAVO_ARM64_ROOT}")

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT "${TAVO_ARM64_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${TAVO_ARM64_ROOT}")
