// A buffer of bytes for the kernel to fill (getdents64, read).
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace CX::walk {

// std::allocator, except that elements made without a value are left
// uninitialised: resizing a buffer writes nothing, so the pages that a read
// never reaches are never touched (a 32 KiB folder buffer holding a few
// hundred bytes of names costs one page, not eight, and no zeros are written
// only to be overwritten).
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept
    {
    }
    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

using ByteBuffer = std::vector<char, DefaultInitAllocator<char>>;

}  // namespace CX::walk
