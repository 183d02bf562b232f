#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

// A reference-counted array of fixed length. Copies share one record; the last handle to go
// frees it. The elements start zeroed and the length never changes. Only plain values
// (pointers, code units, rectangles) are kept, so elements are never constructed or destroyed.
// The reference count is atomic; the elements are not guarded.
template <typename T>
class SharedArray {
    static_assert(std::is_trivially_copyable<T>::value, "SharedArray holds plain values only");

public:
    SharedArray() = default;

    // count zeroed elements. A null array (size 0, isNull) when count is negative, when the
    // byte size does not fit 32 bits, or when memory runs out.
    static SharedArray allocate(int count)
    {
        SharedArray array;
        if (count < 0)
            return array;
        const std::uint64_t bytes = static_cast<std::uint64_t>(count) * sizeof(T);
        if (bytes > std::numeric_limits<std::uint32_t>::max())
            return array;
        Record *record = new (std::nothrow) Record;
        if (!record)
            return array;
        record->data = static_cast<T *>(std::calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(T)));
        if (!record->data) {
            delete record;
            return array;
        }
        record->count = count;
        array.m_record = record;
        return array;
    }

    // A new array holding a copy of count elements from values.
    static SharedArray copyOf(const T *values, int count)
    {
        SharedArray array = allocate(count);
        if (array.m_record && count > 0)
            std::memcpy(array.m_record->data, values, sizeof(T) * static_cast<size_t>(count));
        return array;
    }

    SharedArray(const SharedArray &other) : m_record(other.m_record)
    {
        if (m_record)
            m_record->refs.fetch_add(1);
    }
    SharedArray(SharedArray &&other) noexcept : m_record(other.m_record) { other.m_record = nullptr; }
    SharedArray &operator=(const SharedArray &other)
    {
        SharedArray copy(other);
        swap(copy);
        return *this;
    }
    SharedArray &operator=(SharedArray &&other) noexcept
    {
        SharedArray moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~SharedArray() { release(); }

    void swap(SharedArray &other) noexcept { std::swap(m_record, other.m_record); }

    bool isNull() const { return m_record == nullptr; }
    int size() const { return m_record ? m_record->count : 0; }
    T *data() { return m_record ? m_record->data : nullptr; }
    const T *data() const { return m_record ? m_record->data : nullptr; }
    T &operator[](int i) { return m_record->data[i]; }
    const T &operator[](int i) const { return m_record->data[i]; }
    T *begin() { return data(); }
    T *end() { return data() + size(); }
    const T *begin() const { return data(); }
    const T *end() const { return data() + size(); }
    // How many handles share the record (0 for a null array).
    int refCount() const { return m_record ? m_record->refs.load() : 0; }

private:
    struct Record {
        std::atomic<int> refs{1};
        int count = 0;
        T *data = nullptr;
    };

    void release()
    {
        if (m_record && m_record->refs.fetch_sub(1) == 1) {
            std::free(m_record->data);
            delete m_record;
        }
        m_record = nullptr;
    }

    Record *m_record = nullptr;
};
