#pragma once

#include <new>
#include <utility>

namespace util {

// Holds a T that is constructed in place and never destroyed. For process-wide objects that
// threads may still use while the process exits (the log, the file paths, the kernel seam):
// their destruction would race those threads.
template <typename T>
class NoDestructor {
  public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace util
