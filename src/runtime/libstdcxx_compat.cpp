// Entry points of the shared C++ runtime that are newer than what the
// manylinux_2_28 platform guarantees, defined here so that a module built
// with a recent g++ still loads against that platform's older libstdc++.
// The build links this as a static library: a module takes an entry only if
// it calls it, and keeps it private (hidden) to itself.
#include <new>

#if defined(__GLIBCXX__)

namespace std {

// GLIBCXX_3.4.29 (g++ 11): what std::allocator<T>::allocate calls when the
// requested count exceeds its maximum.
[[noreturn]] __attribute__((visibility("hidden"))) void __throw_bad_array_new_length() { throw bad_array_new_length(); }

}  // namespace std
#endif
