#include "orv/hmx/TaskString.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <utility>

#include "orv/hmx/NumericCast.h"
#include "orv/hmx/SafeInteger.h"

namespace orv::hmx {

namespace {

static_assert(sizeof(wchar_t) == 2, "task-allocator wide strings hold UTF-16");

template <class Char>
constexpr std::uint32_t MaxLength = sizeof(Char) == 1 ? 0xFFFFFFFEu : 0x7FFFFFFEu;

// Throws OutOfRange for lengths whose block size would not fit in 32 bits.
template <class Char>
std::size_t BlockBytes(std::uint32_t length)
{
    if constexpr (sizeof(Char) == 1) {
        return TerminatedLength(length);
    } else {
        return WideTerminatedByteCount(length);
    }
}

template <class Char>
std::uint32_t RangeLength(const Char* first, const Char* last)
{
    return NumericCast<std::uint32_t>(last - first);
}

template <class Char>
std::uint32_t TextLength(const Char* text)
{
    return text == nullptr ? 0 : NumericCast<std::uint32_t>(std::char_traits<Char>::length(text));
}

template <class Char>
Char* AllocateBlock(std::uint32_t length)
{
    void* block = ::CoTaskMemAlloc(BlockBytes<Char>(length));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return static_cast<Char*>(block);
}

// Null when the allocator refuses; the old block is then still intact.
template <class Char>
Char* TryReallocateBlock(Char* block, std::uint32_t length)
{
    return static_cast<Char*>(::CoTaskMemRealloc(block, BlockBytes<Char>(length)));
}

template <class Char>
void CopyChars(Char* to, const Char* from, std::uint32_t count) noexcept
{
    if (count != 0) {
        std::memmove(to, from, std::size_t{count} * sizeof(Char));
    }
}

}  // namespace

template <class Char>
TaskStringT<Char>::TaskStringT() : TaskStringT(nullptr, nullptr)
{
}

template <class Char>
TaskStringT<Char>::TaskStringT(const Char* text) : TaskStringT(text, text + TextLength(text))
{
}

template <class Char>
TaskStringT<Char>::TaskStringT(const Char* first, const Char* last)
{
    const std::uint32_t length = RangeLength(first, last);
    begin_ = AllocateBlock<Char>(length);
    CopyChars(begin_, first, length);
    end_ = begin_ + length;
    capacityEnd_ = end_;
    *end_ = Char{};
}

template <class Char>
TaskStringT<Char>::TaskStringT(const TaskStringT& other) : TaskStringT(other.c_str(), other.c_str() + other.Length())
{
}

template <class Char>
TaskStringT<Char>::TaskStringT(TaskStringT&& other) noexcept
    : begin_(std::exchange(other.begin_, nullptr)),
      end_(std::exchange(other.end_, nullptr)),
      capacityEnd_(std::exchange(other.capacityEnd_, nullptr))
{
}

template <class Char>
TaskStringT<Char>& TaskStringT<Char>::operator=(const TaskStringT& other)
{
    if (this != &other) {
        Assign(other.c_str(), other.c_str() + other.Length());
    }
    return *this;
}

template <class Char>
TaskStringT<Char>& TaskStringT<Char>::operator=(TaskStringT&& other) noexcept
{
    if (this != &other) {
        Free();
        Swap(other);
    }
    return *this;
}

template <class Char>
TaskStringT<Char>::~TaskStringT()
{
    Free();
}

template <class Char>
TaskStringT<Char> TaskStringT<Char>::WithLength(size_type length)
{
    TaskStringT result{NoBlock{}};
    result.begin_ = AllocateBlock<Char>(length);
    std::fill_n(result.begin_, std::size_t{length} + 1, Char{});
    result.end_ = result.begin_ + length;
    result.capacityEnd_ = result.end_;
    return result;
}

template <class Char>
void TaskStringT<Char>::Assign(const Char* first, const Char* last)
{
    const std::uint32_t length = RangeLength(first, last);
    const std::uint32_t capacity = Capacity();
    const bool needsNewSize = begin_ == nullptr || length > capacity || std::uint64_t{length} * 2 < capacity;
    if (needsNewSize) {
        if (PointsIntoBlock(first)) {
            // Reallocating would pull the source out from under the copy.
            TaskStringT copy(first, last);
            Swap(copy);
            return;
        }
        Char* block = begin_ == nullptr ? AllocateBlock<Char>(length) : TryReallocateBlock(begin_, length);
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        begin_ = block;
        capacityEnd_ = block + length;
    }
    CopyChars(begin_, first, length);
    end_ = begin_ + length;
    *end_ = Char{};
}

template <class Char>
void TaskStringT<Char>::Assign(const Char* text)
{
    Assign(text, text + TextLength(text));
}

template <class Char>
void TaskStringT<Char>::Append(const Char* first, const Char* last)
{
    if (begin_ == nullptr) {
        Assign(first, last);
        return;
    }
    const std::uint32_t added = RangeLength(first, last);
    const std::uint32_t needed = NumericCast<std::uint32_t>(std::uint64_t{Length()} + added);
    if (needed > Capacity()) {
        const bool fromSelf = PointsIntoBlock(first);
        const std::ptrdiff_t sourceOffset = fromSelf ? first - begin_ : 0;
        Grow(needed);
        if (fromSelf) {
            first = begin_ + sourceOffset;
        }
    }
    CopyChars(end_, first, added);
    end_ += added;
    *end_ = Char{};
}

template <class Char>
void TaskStringT<Char>::Append(const Char* text)
{
    Append(text, text + TextLength(text));
}

template <class Char>
void TaskStringT<Char>::Grow(size_type needed)
{
    BlockBytes<Char>(needed);  // a needed length beyond the limit is OutOfRange, not an allocation failure
    const std::uint32_t length = Length();
    const std::uint32_t generous = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{needed} * 2, MaxLength<Char>));
    std::uint32_t capacity = generous;
    Char* block = TryReallocateBlock(begin_, generous);
    if (block == nullptr && generous != needed) {
        capacity = needed;
        block = TryReallocateBlock(begin_, needed);
    }
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    begin_ = block;
    end_ = block + length;
    capacityEnd_ = block + capacity;
}

template <class Char>
void TaskStringT<Char>::Free() noexcept
{
    ::CoTaskMemFree(begin_);
    begin_ = end_ = capacityEnd_ = nullptr;
}

template <class Char>
Char* TaskStringT<Char>::Detach() noexcept
{
    Char* block = begin_;
    begin_ = end_ = capacityEnd_ = nullptr;
    return block;
}

template <class Char>
void TaskStringT<Char>::Swap(TaskStringT& other) noexcept
{
    std::swap(begin_, other.begin_);
    std::swap(end_, other.end_);
    std::swap(capacityEnd_, other.capacityEnd_);
}

template <class Char>
const Char* TaskStringT<Char>::c_str() const noexcept
{
    static constexpr Char emptyText[1] = {};
    return begin_ != nullptr ? begin_ : emptyText;
}

template <class Char>
bool TaskStringT<Char>::PointsIntoBlock(const Char* p) const noexcept
{
    // std::less gives a total order even for pointers into different objects.
    const std::less<const Char*> before;
    return begin_ != nullptr && !before(p, begin_) && before(p, capacityEnd_ + 1);
}

template class TaskStringT<char>;
template class TaskStringT<wchar_t>;

}  // namespace orv::hmx
