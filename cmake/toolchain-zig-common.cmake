# Shared by the Zig toolchain files: Zig's clang with its own mingw-w64 runtime and libc++,
# from the pinned PyPI package (scripts/zig/pin.sh). Unlike Debian's mingw-w64 it can also
# target ARM64. The includer sets CMAKE_SYSTEM_PROCESSOR, OSTREVANE_ZIG_RC_MACHINE and
# OSTREVANE_ZIG_TARGET. Zig defines _WIN32_WINNT from the target's oldest Windows version,
# so the targets name Windows 8.1 (win8_1), in agreement with the project's own 0x0603.
set(CMAKE_SYSTEM_NAME Windows)

get_filename_component(_ostrevane_zig_bin "${CMAKE_CURRENT_LIST_DIR}/../scripts/zig" ABSOLUTE)
set(CMAKE_C_COMPILER ${_ostrevane_zig_bin}/zig-cc)
set(CMAKE_CXX_COMPILER ${_ostrevane_zig_bin}/zig-c++)
set(CMAKE_C_COMPILER_TARGET ${OSTREVANE_ZIG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${OSTREVANE_ZIG_TARGET})
set(CMAKE_AR ${_ostrevane_zig_bin}/zig-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${_ostrevane_zig_bin}/zig-ranlib CACHE FILEPATH "Archive indexer")
# Zig's own resource compiler, behind a wrapper that CMake takes for windres.
set(CMAKE_RC_COMPILER ${_ostrevane_zig_bin}/windres)
set(CMAKE_RC_FLAGS_INIT --target=${OSTREVANE_ZIG_RC_MACHINE})
# Zig has no nm; the kernel-seam check reads the core library's symbols with LLVM's.
find_program(CMAKE_NM NAMES llvm-nm llvm-nm-14)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
