// Text objects: the counted payload of the network's text values. twdynam makes them on
// its own, without the network. An object may be read from several threads at once, but
// SetText and Append must not race with any other call on the same object.

#include "ComObject.h"

#include <atomic>
#include <string>

namespace sim {
namespace {

std::atomic<LONG> liveTextObjects{0};

template <class Char>
class TextObject final : public ComObject<TextObject<Char>, kelvane::IKelvaneText<Char>> {
public:
    explicit TextObject(const Char* text) : text_(text ? text : EmptyText()) { ++liveTextObjects; }
    ~TextObject() override { --liveTextObjects; }

    // IKelvaneText
    std::uint32_t STDMETHODCALLTYPE GetLength() override { return static_cast<std::uint32_t>(text_.size()); }

    HRESULT STDMETHODCALLTYPE SetText(const Char* text) override
    {
        return Guarded([&] {
            text_.assign(text ? text : EmptyText());
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Append(const Char* text) override
    {
        return Guarded([&] {
            if (text) text_.append(text);
            return S_OK;
        });
    }

    const Char* STDMETHODCALLTYPE GetText() override { return text_.c_str(); }

private:
    static const Char* EmptyText() noexcept
    {
        static constexpr Char empty[1] = {};
        return empty;
    }

    std::basic_string<Char> text_;
};

// Stands for a payload whose text cannot be had: it is counted as a text object, so that
// tests see whether a client releases it, but it offers nothing to read.
class RefusingText final : public ComObject<RefusingText, IUnknown> {
public:
    RefusingText() { ++liveTextObjects; }
    ~RefusingText() override { --liveTextObjects; }
};

template <class Char>
IUnknown* NewText(const Char* text) noexcept
{
    try {
        return TextObject<Char>::Make(text).Detach();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace
}  // namespace sim

extern "C" IUnknown* WINAPI NewUnicodeGuts(const wchar_t* text)
{
    return sim::NewText(text);
}

extern "C" IUnknown* WINAPI NewAnsiGuts(const char* text)
{
    return sim::NewText(text);
}

extern "C" LONG WINAPI SimLiveTextObjects()
{
    return sim::liveTextObjects.load();
}

extern "C" IUnknown* WINAPI SimNewRefusingText()
{
    try {
        return sim::RefusingText::Make().Detach();
    } catch (...) {
        return nullptr;
    }
}
