// What the DLL takes from the static C++ runtime, trimmed to what the plug-in can use.
//
// Linked into gen_Velk.dll only. The runtime's own versions of these functions drag in whole
// parts of it that the plug-in never needs: the default terminate handler its demangler (some
// 40 KB), and the throw helpers that the string members call the runtime's exception classes,
// which carry a second string implementation with them (some 80 KB with their unwind tables).
// Every entry the system calls catches everything, so what is thrown only has to be caught, never
// read.
#include <cstdlib>
#include <exception>
#include <new>

namespace {

// A string operation used out of its contract (a null text, a position past the end).
class CMisuse final : public std::exception {
 public:
  const char* what() const noexcept override { return "misuse of a string operation"; }
};

}  // namespace

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
// A text longer than the allocator can ever give: out of memory as far as the plug-in can tell.
void __throw_length_error(const char*) { throw bad_alloc(); }
void __throw_logic_error(const char*) { throw CMisuse(); }
void __throw_out_of_range_fmt(const char*, ...) { throw CMisuse(); }
}  // namespace std
