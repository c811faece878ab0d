#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

namespace tessel {

/// Zero-initialised storage of `count` elements aligned to 32 bytes, so that vector loops over it
/// may use aligned loads. Allocation is rounded up to a multiple of 32 bytes. Resizing keeps the
/// first min(old, new) elements and zero-fills the rest; resizing to 0 or less frees the storage.
/// Resizing allocates (through the global operator new, so allocation counters see it): never
/// resize on the audio path in steady state.
template <typename T>
class AlignedBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "AlignedBuffer holds plain samples");

public:
    static constexpr std::size_t kAlignment = 32;

    AlignedBuffer() noexcept = default;
    explicit AlignedBuffer(int32_t count) { resize(count); }
    ~AlignedBuffer() { release(); }

    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;

    void resize(int32_t count) {
        if (count == count_) return;
        if (count <= 0) {
            release();
            return;
        }
        const std::size_t bytes = roundedBytes(count);
        T* fresh = static_cast<T*>(::operator new (bytes, std::align_val_t{kAlignment}));
        std::memset(static_cast<void*>(fresh), 0, bytes);
        if (data_ != nullptr) {
            const int32_t keep = std::min(count, count_);
            std::memcpy(static_cast<void*>(fresh), data_,
                        static_cast<std::size_t>(keep) * sizeof(T));
        }
        release();
        data_ = fresh;
        count_ = count;
    }

    int32_t size() const noexcept { return count_; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](int32_t i) noexcept { return data_[i]; }
    const T& operator[](int32_t i) const noexcept { return data_[i]; }

    /// Sets every element to value.
    void fill(T value) noexcept { std::fill(data_, data_ + count_, value); }

private:
    static std::size_t roundedBytes(int32_t count) noexcept {
        const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(T);
        return (bytes + kAlignment - 1) / kAlignment * kAlignment;
    }

    void release() noexcept {
        if (data_ != nullptr)
            ::operator delete (static_cast<void*>(data_), std::align_val_t{kAlignment});
        data_ = nullptr;
        count_ = 0;
    }

    int32_t count_ = 0;
    T* data_ = nullptr;
};

}  // namespace tessel
