#include "orv/hmx/ItemIdPath.h"

namespace orv::hmx {
namespace {

// The null character belongs to every stop set: a view may carry one, and it ends a
// name just as the end of the text does.
constexpr bool IsNameStop(wchar_t c) noexcept
{
    return c == L'\\' || c == L'.' || c == L'\'' || c == L'\r' || c == L'\n' || c == L'\0';
}

constexpr bool IsHostStop(wchar_t c) noexcept
{
    return IsNameStop(c) || c == L'/' || c == L' ' || c == L'\t';
}

constexpr bool IsForbiddenInProcess(wchar_t c) noexcept
{
    return c == L'\\' || c == L'/';
}

constexpr bool IsSeparator(wchar_t c) noexcept
{
    return c == L'\\' || c == L'.';
}

// One left-to-right pass; every method returns at the first fault so that the order
// of the checks, not the kind of fault, decides which status an ID gets.
class PathScanner {
public:
    explicit PathScanner(std::wstring_view id) noexcept : text_(id) {}

    ItemIdPath Scan() noexcept
    {
        result_.status = ScanParts();
        return result_;
    }

private:
    bool AtEnd() const noexcept { return pos_ == text_.size(); }
    wchar_t Current() const noexcept { return text_[pos_]; }
    bool AtSeparator() const noexcept { return !AtEnd() && IsSeparator(Current()); }
    std::wstring_view From(std::size_t start) const noexcept { return text_.substr(start, pos_ - start); }

    ItemIdStatus ScanParts() noexcept
    {
        if (text_.size() < 2 || text_[0] != L'\\' || text_[1] != L'\\') return ItemIdStatus::NotNetworkPath;
        pos_ = 2;
        if (AtEnd()) return ItemIdStatus::MissingComputer;
        if (Current() == L'\\') return ItemIdStatus::ThirdBackslash;

        if (ItemIdStatus status = ScanComputer(); status != ItemIdStatus::WellFormed) return status;

        if (AtEnd()) return ItemIdStatus::MissingProcess;
        if (Current() != L'\\') return ItemIdStatus::ComputerNotTerminated;
        ++pos_;
        if (AtSeparator()) return ItemIdStatus::EmptyComponent;

        if (ItemIdStatus status = ScanProcess(); status != ItemIdStatus::WellFormed) return status;

        if (AtEnd()) return ItemIdStatus::MissingObject;
        if (Current() != L'\\') return ItemIdStatus::BadProcess;
        ++pos_;
        if (AtSeparator()) return ItemIdStatus::EmptyComponent;

        if (ItemIdStatus status = ScanObject(); status != ItemIdStatus::WellFormed) return status;

        return AtEnd() ? ItemIdStatus::WellFormed : ItemIdStatus::TrailingCharacters;
    }

    // "." alone is the local computer; a dotted host name is one part, so "." only
    // stops the name when it comes first.
    ItemIdStatus ScanComputer() noexcept
    {
        const std::size_t start = pos_;
        if (AtEnd()) return ItemIdStatus::MissingComputer;
        if (Current() == L'.') {
            ++pos_;
        } else {
            if (IsHostStop(Current())) return ItemIdStatus::BadComputerStart;
            ++pos_;
            while (!AtEnd() && (Current() == L'.' || !IsHostStop(Current()))) ++pos_;
        }
        result_.computer = From(start);
        return ItemIdStatus::WellFormed;
    }

    ItemIdStatus ScanProcess() noexcept
    {
        if (AtEnd()) return ItemIdStatus::MissingProcess;
        std::wstring_view name;
        if (ItemIdStatus status = ScanName(name); status != ItemIdStatus::WellFormed) return status;
        if (name.empty()) return ItemIdStatus::MissingProcess;
        result_.process = name;
        for (wchar_t c : name) {
            if (IsForbiddenInProcess(c)) return ItemIdStatus::BadProcess;
        }
        return ItemIdStatus::WellFormed;
    }

    // Names joined by single separators. A name after a separator may be empty only at
    // the end of the text, so "a." and "a\" both end the object part cleanly.
    ItemIdStatus ScanObject() noexcept
    {
        if (AtEnd()) return ItemIdStatus::MissingObject;
        const std::size_t start = pos_;
        std::wstring_view name;
        ItemIdStatus status = ScanName(name);
        while (status == ItemIdStatus::WellFormed && AtSeparator()) {
            ++pos_;
            if (AtSeparator()) return ItemIdStatus::EmptyComponent;
            status = ScanName(name);
        }
        result_.object = From(start);
        return status;
    }

    // A quoted name runs to its closing quote, quotes included; a doubled quote inside
    // stands for one quote and does not close it. A plain name runs to the next
    // name-stop character and must not be empty unless the text has ended.
    ItemIdStatus ScanName(std::wstring_view& name) noexcept
    {
        const std::size_t start = pos_;
        if (AtEnd()) {
            name = {};
            return ItemIdStatus::WellFormed;
        }
        if (Current() == L'\'') {
            ++pos_;
            for (;;) {
                const std::size_t quote = text_.find(L'\'', pos_);
                if (quote == std::wstring_view::npos) {
                    pos_ = text_.size();
                    return ItemIdStatus::UnclosedQuote;
                }
                pos_ = quote + 1;
                if (AtEnd() || Current() != L'\'') break;
                ++pos_;
            }
        } else {
            while (!AtEnd() && !IsNameStop(Current())) ++pos_;
            if (pos_ == start) return ItemIdStatus::EmptyName;
        }
        name = From(start);
        return ItemIdStatus::WellFormed;
    }

    std::wstring_view text_;
    std::size_t pos_ = 0;
    ItemIdPath result_;
};

constexpr HRESULT Code(unsigned long value) noexcept
{
    return static_cast<HRESULT>(value);
}

}  // namespace

ItemIdPath ScanItemIdPath(std::wstring_view id) noexcept
{
    return PathScanner(id).Scan();
}

HRESULT ItemIdStatusToHResult(ItemIdStatus status) noexcept
{
    switch (status) {
    case ItemIdStatus::WellFormed: return S_OK;
    case ItemIdStatus::MissingObject: return Code(0x8ABC0027);
    case ItemIdStatus::MissingComputer: return Code(0x8ABC0022);
    case ItemIdStatus::MissingProcess: return Code(0x8ABC0025);
    case ItemIdStatus::ThirdBackslash: return Code(0x8ABC0101);
    case ItemIdStatus::NotNetworkPath: return Code(0x8ABC0100);
    case ItemIdStatus::ComputerNotTerminated: return Code(0x8ABC0024);
    case ItemIdStatus::EmptyComponent: return Code(0x8ABC0102);
    case ItemIdStatus::BadProcess: return Code(0x8ABC0026);
    case ItemIdStatus::Unused: return Code(0x8ABC0103);
    case ItemIdStatus::TrailingCharacters: return Code(0x8ABC0028);
    case ItemIdStatus::EmptyName: return Code(0x8ABC0030);
    case ItemIdStatus::BadComputerStart: return Code(0x8ABC0023);
    case ItemIdStatus::UnclosedQuote: return Code(0x8ABC0104);
    }
    return E_FAIL;
}

HRESULT CheckItemId(const wchar_t* id) noexcept
{
    const std::wstring_view text = id ? std::wstring_view(id) : std::wstring_view();
    return ItemIdStatusToHResult(ScanItemIdPath(text).status);
}

}  // namespace orv::hmx
