include(ExternalProject)

option(OSTREVANE_CROSS_X64 "Cross-build the x64 Windows program with mingw-w64 and test it under Wine" ON)

# Adds a nested Windows build of this source tree and includes its tests in this tree's.
function(ostrevane_windows_build name toolchain)
  set(binary_dir ${CMAKE_BINARY_DIR}/${name})
  ExternalProject_Add(${name}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${binary_dir}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${toolchain}
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DOSTREVANE_BUILD_TESTS=${OSTREVANE_BUILD_TESTS}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON)
  file(WRITE ${CMAKE_BINARY_DIR}/${name}-tests.cmake "subdirs(\"${binary_dir}\")\n")
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/${name}-tests.cmake)
endfunction()

if(OSTREVANE_CROSS_X64)
  ostrevane_windows_build(win-x64 ${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-x64.cmake)
endif()
