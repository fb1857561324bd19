# Cross-builds the x64 Windows program with Zig: the same compiler, C++ library and runtime
# as the ARM64 build, so its tests under Wine stand in for the ARM64 program's.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(OSTREVANE_ZIG_TARGET x86_64-windows.win8_1-gnu)
set(OSTREVANE_ZIG_RC_MACHINE x64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-zig-common.cmake)
