# One place for the warning and hardening flags, kept per compiler so the same project
# configures with Visual Studio as well as with GCC and Clang.
function(ostrevane_strict target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /permissive- /utf-8)
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
      -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual -Werror)
  endif()
endfunction()

# Windows binaries carry their whole runtime: WinPE has no VC++ or mingw DLLs.
function(ostrevane_static_runtime target)
  if(MSVC)
    set_property(TARGET ${target} PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    # The manifest comes from the resource script alone; the linker's own would collide with it.
    target_link_options(${target} PRIVATE /MANIFEST:NO)
  elseif(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
      -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
    # A release carries no symbols, and mingw-w64's linker stamps no build time into it (Zig's
    # never does), so the same sources and toolchain give the same bytes and checksums.
    target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s>
      $<$<AND:$<CONFIG:Release>,$<CXX_COMPILER_ID:GNU>>:-Wl,--no-insert-timestamp>)
  endif()
endfunction()
