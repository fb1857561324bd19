#include "main/Startup.h"

#include <windows.h>

#include <cstddef>
#include <exception>

#if defined(__GLIBCXX__) || defined(_LIBCPP_VERSION)
// An exception that nothing catches ends the program through the C++ library's terminate
// handler, which names the exception's type on the standard error stream, demangled when the
// demangler succeeds. The window program has no such stream to show it on, the console program
// can name the type mangled, and the demangler would be a fifth of either (over a third of the
// ARM64 ones): this one declines, which the handler takes as it takes any failure.
extern "C" char* __cxa_demangle(const char*, char*, std::size_t*, int* status)
{
    if (status != nullptr) {
        *status = -2;
    }
    return nullptr;
}
#endif

#if defined(__GLIBCXX__)

// The programs catch no exception: the few that the standard library can raise (a failed
// allocation, a length past a container's limit) end them through std::terminate whatever they
// carry. These end them there directly, so that libstdc++'s exception classes, and the second,
// reference-counted string library that their messages drag in, stay out of the programs: a
// tenth of their size.
namespace std {
[[noreturn]] void __throw_bad_exception() { std::terminate(); }
[[noreturn]] void __throw_bad_alloc() { std::terminate(); }
[[noreturn]] void __throw_bad_array_new_length() { std::terminate(); }
[[noreturn]] void __throw_bad_cast() { std::terminate(); }
[[noreturn]] void __throw_bad_typeid() { std::terminate(); }
[[noreturn]] void __throw_logic_error(const char*) { std::terminate(); }
[[noreturn]] void __throw_domain_error(const char*) { std::terminate(); }
[[noreturn]] void __throw_invalid_argument(const char*) { std::terminate(); }
[[noreturn]] void __throw_length_error(const char*) { std::terminate(); }
[[noreturn]] void __throw_out_of_range(const char*) { std::terminate(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { std::terminate(); }
[[noreturn]] void __throw_runtime_error(const char*) { std::terminate(); }
[[noreturn]] void __throw_range_error(const char*) { std::terminate(); }
[[noreturn]] void __throw_overflow_error(const char*) { std::terminate(); }
[[noreturn]] void __throw_underflow_error(const char*) { std::terminate(); }
} // namespace std
#endif

bool Startup::TakeDllsFromSystemFolderOnly()
{
    // The programs run elevated from wherever they were copied, so nothing beside them may load.
    // They import only known DLLs and API sets, which Windows takes from the system folder alone.
    return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}
