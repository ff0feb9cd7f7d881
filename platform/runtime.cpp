// Trims the static C++ runtime for programs that never catch an exception. The library's
// default terminate handler prints the demangled type of the exception to a console these
// programs do not have, and links in its whole demangler (45 KiB); its throw helpers build
// exception objects that nothing here catches, and link in a second string implementation
// and formatted printing (55 KiB). Ending the process at once is what an uncaught exception
// would do anyway: exhausted memory or an impossible string length ends the program.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
void __throw_length_error(const char*) { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_out_of_range(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
}  // namespace std

// The library's allocation throws bad_alloc, which brings the exception machinery along.
void* operator new(std::size_t size) {
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  std::abort();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t /*size*/) noexcept { std::free(memory); }
