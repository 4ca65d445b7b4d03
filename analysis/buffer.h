// Work arrays of the analysis code. They come from gmemAlloc like every module
// buffer, and an allocation that fails (or whose size does not fit the
// allocator) leaves an empty array for the caller to report, instead of an
// exception or the end of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/runtime.h"

namespace krel {

template <class T>
class GmemArray {
public:
    GmemArray() = default;
    explicit GmemArray(size_t count) { allocate(count); }

    // Returns false when the memory could not be had; the contents are zeroed.
    bool allocate(size_t count)
    {
        data_.reset();
        size_ = 0;
        if (count > (UINT32_MAX - 64) / sizeof(T)) return false;
        data_.reset(static_cast<T *>(gmemAlloc(static_cast<uint32_t>(count * sizeof(T)))));
        if (!data_) return false;
        memset(static_cast<void *>(data_.get()), 0, count * sizeof(T));
        size_ = count;
        return true;
    }
    explicit operator bool() const { return data_ != nullptr; }
    T *get() const { return data_.get(); }
    T &operator[](size_t i) const { return data_.get()[i]; }
    size_t size() const { return size_; }

private:
    std::unique_ptr<T, GmemDeleter> data_;
    size_t size_ = 0;
};

}  // namespace krel
