// Wheels built with a newer GCC than manylinux2014's must not need libstdc++
// symbols added after it. libstdc++ 12 reports an array request too large to
// ever allocate (an unordered_map's buckets, a vector sized at run time)
// through std::__throw_bad_array_new_length, which came with GCC 11
// (GLIBCXX_3.4.29). Each module carries its own definition instead, kept
// local by its version script, and answers such a request with the bad_alloc
// that every exported function turns into MemoryError.
#include <new>

namespace std {

[[noreturn]] void __throw_bad_array_new_length() { throw bad_alloc(); }

}  // namespace std
