// Objects that engine threads may still touch while the process exits (a thread left
// detached because it did not end in time, or one that ends while the exit handlers run):
// built in static storage and never destroyed, so the exit handlers cannot destroy them
// under a running thread.
#pragma once

#include <new>
#include <utility>

namespace kestrune::platform {

template <typename T> class Immortal {
public:
    template <typename... Args> explicit Immortal(Args&&... args) {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }
    T* operator->() { return &get(); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

} // namespace kestrune::platform
