# Builds with zig's C and C++ compilers for TAVO_ZIG_TARGET: aarch64-linux-musl (the
# fully static test binaries and the musllinux module) or <arch>-linux-gnu.2.28 (modules
# for the manylinux wheels: zig links against the GNU C library of that version, and its
# own C++ runtime statically, so the module needs nothing newer from the system).
# TAVO_ZIG_BIN is the folder of the wrapper scripts that scripts/cross_env.sh writes
# (<target>-cc, <target>-c++, zig-ar, zig-ranlib). Libraries built for the target are found
# through CMAKE_PREFIX_PATH; an arm64 target runs its binaries (and the interpreter of
# TAVO_ARM64_ROOT, if any) under qemu-user.
set(TAVO_ZIG_TARGET "$ENV{TAVO_ZIG_TARGET}" CACHE STRING "zig target triple")
set(TAVO_ZIG_BIN "$ENV{TAVO_ZIG_BIN}" CACHE PATH "Folder of the zig wrapper scripts")
set(TAVO_ARM64_ROOT "$ENV{TAVO_ARM64_ROOT}" CACHE PATH "Root of the arm64 Debian packages")
if(NOT EXISTS "${TAVO_ZIG_BIN}/${TAVO_ZIG_TARGET}-c++")
    message(FATAL_ERROR "no zig wrapper ${TAVO_ZIG_BIN}/${TAVO_ZIG_TARGET}-c++")
endif()
# try_compile projects see the same settings: whole projects (as check_ipo_supported
# builds) through the environment, which they read above.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVO_ZIG_TARGET TAVO_ZIG_BIN TAVO_ARM64_ROOT)
set(ENV{TAVO_ZIG_TARGET} "${TAVO_ZIG_TARGET}")
set(ENV{TAVO_ZIG_BIN} "${TAVO_ZIG_BIN}")
set(ENV{TAVO_ARM64_ROOT} "${TAVO_ARM64_ROOT}")

string(REGEX MATCH "^[^-]+" _tavo_zig_arch "${TAVO_ZIG_TARGET}")
if(NOT _tavo_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
    set(CMAKE_SYSTEM_NAME Linux)
    set(CMAKE_SYSTEM_PROCESSOR ${_tavo_zig_arch})
    if(_tavo_zig_arch STREQUAL "aarch64")
        if(TAVO_ARM64_ROOT)
            set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${TAVO_ARM64_ROOT}")
            # Debian's pyconfig.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>. Searched
            # after everything else, so that zig's own C library headers win over the root's.
            string(APPEND CMAKE_C_FLAGS_INIT " -idirafter ${TAVO_ARM64_ROOT}/usr/include")
            string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${TAVO_ARM64_ROOT}/usr/include")
        else()
            set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
        endif()
    endif()
endif()

if(TAVO_ZIG_TARGET MATCHES "-linux-gnu")
    # The GNU C library ends a thread (pthread_exit, as the interpreter does to a daemon
    # thread at exit) by a forced unwind in the system's libgcc_s, which calls the C++
    # personality routine of every frame. zig's own unwinder, linked in statically, cannot
    # read the frames that libgcc_s hands over (different context structures): linking the
    # system's libgcc_s instead gives the C++ runtime one unwinder, the one glibc uses.
    # Naming the library file itself is what keeps zig from linking its own.
    if(_tavo_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
        set(_tavo_gcc_s "/lib/${_tavo_zig_arch}-linux-gnu/libgcc_s.so.1")
    else()
        set(_tavo_gcc_s "${TAVO_ARM64_ROOT}/lib/${_tavo_zig_arch}-linux-gnu/libgcc_s.so.1")
    endif()
    if(NOT EXISTS "${_tavo_gcc_s}")
        message(FATAL_ERROR "no libgcc_s for ${TAVO_ZIG_TARGET} at ${_tavo_gcc_s}")
    endif()
    # That libgcc_s comes from a newer C library than the target's; of it, the programs use
    # only the unwinder, whose symbols are decades old, so its own references are not ours
    # to check when linking a program.
    string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--allow-shlib-undefined")
    set(CMAKE_C_STANDARD_LIBRARIES_INIT "${_tavo_gcc_s}")
    set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "${_tavo_gcc_s}")
endif()

set(CMAKE_C_COMPILER "${TAVO_ZIG_BIN}/${TAVO_ZIG_TARGET}-cc")
set(CMAKE_CXX_COMPILER "${TAVO_ZIG_BIN}/${TAVO_ZIG_TARGET}-c++")
set(CMAKE_AR "${TAVO_ZIG_BIN}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${TAVO_ZIG_BIN}/zig-ranlib" CACHE FILEPATH "")
