#pragma once

// The one owner of a system handle (a file descriptor, a HANDLE, a directory stream): closes it once,
// when the owner goes or is given another. What counts as no handle and how one is closed come from
// `Traits`, which the platform code supplies:
//
//     struct Traits
//     {
//         using Handle = ...;
//         static Handle Invalid() noexcept;        // what an empty owner holds
//         static bool IsValid(Handle) noexcept;    // false for every value the system uses as "none"
//         static void Close(Handle) noexcept;      // called for valid handles only
//     };

#include <utility>

namespace QOR
{
    template<class Traits>
    class UniqueHandle
    {
    public:
        using Handle = typename Traits::Handle;

        UniqueHandle() noexcept = default;
        explicit UniqueHandle(Handle handle) noexcept : _handle(handle) {}
        UniqueHandle(const UniqueHandle&) = delete;
        UniqueHandle& operator=(const UniqueHandle&) = delete;
        UniqueHandle(UniqueHandle&& other) noexcept : _handle(other.Release()) {}
        UniqueHandle& operator=(UniqueHandle&& other) noexcept
        {
            Reset(other.Release());
            return *this;
        }
        ~UniqueHandle() { Reset(); }

        explicit operator bool() const noexcept { return Traits::IsValid(_handle); }
        Handle Get() const noexcept { return _handle; }
        // Gives the handle up without closing it; the owner is empty afterwards.
        [[nodiscard]] Handle Release() noexcept { return std::exchange(_handle, Traits::Invalid()); }
        // Closes the handle held (if any) and takes `handle`.
        void Reset(Handle handle = Traits::Invalid()) noexcept
        {
            const Handle previous = std::exchange(_handle, handle);
            if (Traits::IsValid(previous) && previous != handle)
                Traits::Close(previous);
        }

    private:
        Handle _handle = Traits::Invalid();
    };
}
