// Process-wide objects that are never destroyed. Threads may still call the
// module while the process exits (trackers polling as the interpreter
// finalizes), and must never meet a destroyed object. Used as a
// function-local static, the holder is trivially destructible, so nothing
// runs for it at exit.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace lumenstat {

template <class T>
class NeverDestroyed {
public:
    template <class... Args>
    explicit NeverDestroyed(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) std::byte storage_[sizeof(T)];
};

}  // namespace lumenstat
