include(ExternalProject)

option(OSTREVANE_CROSS_X64 "Cross-build the x64 Windows program with mingw-w64 and test it under Wine" ON)

# Adds a nested Windows build of this source tree and includes its tests in this tree's.
# MACHINE is the program's machine type (AMD64 or ARM64), for the release check;
# PROGRAM_ONLY builds no tests, for a machine whose programs cannot run here; BUILD_TYPE, when
# given, replaces this tree's.
function(ostrevane_windows_build name toolchain)
  cmake_parse_arguments(PARSE_ARGV 2 arg "PROGRAM_ONLY" "MACHINE;BUILD_TYPE" "")
  if(NOT arg_MACHINE)
    message(FATAL_ERROR "ostrevane_windows_build(${name}): MACHINE AMD64 or ARM64 is missing")
  endif()
  set(binary_dir ${CMAKE_BINARY_DIR}/${name})
  set(build_type ${CMAKE_BUILD_TYPE})
  if(arg_BUILD_TYPE)
    set(build_type ${arg_BUILD_TYPE})
  endif()
  set(build_tests ${OSTREVANE_BUILD_TESTS})
  if(arg_PROGRAM_ONLY)
    set(build_tests OFF)
  endif()
  ExternalProject_Add(${name}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${binary_dir}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${toolchain}
      -DCMAKE_BUILD_TYPE=${build_type}
      -DOSTREVANE_BUILD_TESTS=${build_tests}
      -DOSTREVANE_TEST_LABEL=${name}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON)
  if(build_tests)
    file(WRITE ${CMAKE_BINARY_DIR}/${name}-tests.cmake "subdirs(\"${binary_dir}\")\n")
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/${name}-tests.cmake)
  endif()
  # What a technician will run: checked as a release is (machine, hardening, imports, manifest),
  # and the check shown to catch each fault in a broken copy of it.
  if(OSTREVANE_BUILD_TESTS)
    add_test(NAME release_check_${name}
      COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-release.sh ${binary_dir}/src/Ostrevane.exe ${arg_MACHINE})
    add_test(NAME release_check_faults_${name}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/release/check_release_faults.py
              ${CMAKE_SOURCE_DIR}/scripts/check-release.sh ${binary_dir}/src/Ostrevane.exe ${arg_MACHINE})
  endif()
endfunction()

if(OSTREVANE_CROSS_X64)
  ostrevane_windows_build(win-x64 ${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-x64.cmake MACHINE AMD64)
  # The real-device tests run the program as it ships: the Release build, with no tests of its own.
  if(OSTREVANE_BUILD_TESTS)
    ostrevane_windows_build(win-x64-release ${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-x64.cmake MACHINE AMD64
                            PROGRAM_ONLY BUILD_TYPE Release)
    add_subdirectory(${CMAKE_SOURCE_DIR}/tests/realdev ${CMAKE_BINARY_DIR}/realdev)
  endif()
endif()

# Zig (scripts/setup.sh installs the pinned version) builds the ARM64 program. Its x64 build
# shares compiler, C++ library and runtime with the ARM64 one, so the whole test suite runs
# on it under Wine as the best evidence for the ARM64 program, which cannot run here.
option(OSTREVANE_CROSS_ZIG_X64 "Cross-build the x64 Windows program and tests with Zig and test them under Wine" ON)
option(OSTREVANE_CROSS_ZIG_ARM64 "Cross-build the ARM64 Windows program (no tests) with Zig" ON)
if(OSTREVANE_CROSS_ZIG_X64 OR OSTREVANE_CROSS_ZIG_ARM64)
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/zig/zig.sh version
    RESULT_VARIABLE zig_result OUTPUT_VARIABLE zig_version ERROR_VARIABLE zig_error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT zig_result EQUAL 0)
    message(FATAL_ERROR "${zig_error}(or turn off OSTREVANE_CROSS_ZIG_X64 and OSTREVANE_CROSS_ZIG_ARM64)")
  endif()
  message(STATUS "Zig ${zig_version} for the Zig cross builds")
endif()
if(OSTREVANE_CROSS_ZIG_X64)
  ostrevane_windows_build(zig-x64 ${CMAKE_SOURCE_DIR}/cmake/toolchain-zig-x64.cmake MACHINE AMD64)
endif()
if(OSTREVANE_CROSS_ZIG_ARM64)
  ostrevane_windows_build(zig-arm64 ${CMAKE_SOURCE_DIR}/cmake/toolchain-zig-arm64.cmake MACHINE ARM64 PROGRAM_ONLY)
endif()
