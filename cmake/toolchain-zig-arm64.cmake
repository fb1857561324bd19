# Cross-builds the ARM64 Windows program with Zig (Debian has no ARM64 mingw-w64).
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(OSTREVANE_ZIG_TARGET aarch64-windows.win8_1-gnu)
set(OSTREVANE_ZIG_RC_MACHINE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-zig-common.cmake)
