#pragma once

#include <cstdint>
#include <string_view>

namespace orv::hmx {

// Text held in one block from the COM task allocator, so that the block can be
// handed to a COM client as an out-parameter without copying (Detach).
//
// The text is always null-terminated and the terminator is not counted. A live
// string always owns a block, an empty one a one-element block; only Free, Detach
// and being moved from leave a string without a block, and c_str() then still
// gives "". Lengths are limited to 32 bits (a wide text to 0x7FFFFFFE characters).
//
// Copying allocates a block of exactly the source's length; failures throw
// std::bad_alloc, a length that does not fit throws exception::OutOfRange. Every
// operation leaves the string unchanged when it throws.
template <class Char>
class TaskStringT {
public:
    using value_type = Char;
    using size_type = std::uint32_t;

    TaskStringT();
    // A null pointer counts as the empty text.
    explicit TaskStringT(const Char* text);
    TaskStringT(const Char* first, const Char* last);
    TaskStringT(const TaskStringT& other);
    TaskStringT(TaskStringT&& other) noexcept;
    TaskStringT& operator=(const TaskStringT& other);
    TaskStringT& operator=(TaskStringT&& other) noexcept;
    ~TaskStringT();

    // A string of `length` null characters, for filling through Data().
    static TaskStringT WithLength(size_type length);

    // The block is reallocated to exactly the new length when that exceeds the
    // capacity or is less than half of it, and reused otherwise, so a string that
    // is assigned to again and again neither grows without end nor churns.
    void Assign(const Char* first, const Char* last);
    void Assign(const Char* text);

    // Growth tries twice the needed length first and settles for the needed
    // length when the allocator cannot give that much.
    void Append(const Char* first, const Char* last);
    void Append(const Char* text);

    void Free() noexcept;
    // Hands the block to the caller, who frees it with CoTaskMemFree (or passes
    // it on to a client that does); the string is left without a block.
    [[nodiscard]] Char* Detach() noexcept;
    void Swap(TaskStringT& other) noexcept;

    const Char* c_str() const noexcept;
    Char* Data() noexcept { return begin_; }
    const Char* Begin() const noexcept { return begin_; }
    const Char* End() const noexcept { return end_; }
    std::basic_string_view<Char> View() const noexcept { return {c_str(), Length()}; }
    size_type Length() const noexcept { return static_cast<size_type>(end_ - begin_); }
    // Characters the block holds without reallocation, terminator not counted.
    size_type Capacity() const noexcept { return static_cast<size_type>(capacityEnd_ - begin_); }
    bool Empty() const noexcept { return end_ == begin_; }
    bool HasBlock() const noexcept { return begin_ != nullptr; }

private:
    struct NoBlock {};
    explicit TaskStringT(NoBlock) noexcept {}

    bool PointsIntoBlock(const Char* p) const noexcept;
    void Grow(size_type needed);

    Char* begin_ = nullptr;
    Char* end_ = nullptr;          // at the terminator
    Char* capacityEnd_ = nullptr;  // where the terminator goes at full capacity
};

extern template class TaskStringT<char>;
extern template class TaskStringT<wchar_t>;

using TaskString = TaskStringT<char>;
using TaskWString = TaskStringT<wchar_t>;

}  // namespace orv::hmx
