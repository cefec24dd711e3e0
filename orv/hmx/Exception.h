#pragma once

#include <cstdint>
#include <exception>
#include <source_location>

namespace orv::hmx::exception {

// Root of the support layer's failures. Every instance remembers where it was made:
// the constructors default their location to the caller, so `throw OutOfRange();`
// records the file and line of the throw without any help from the thrower.
// ErrorCode() is what a catching COM method turns into its answer; the codes of
// the descendants are fixed numbers that the rest of the server relies on.
class Exception : public std::exception {
public:
    explicit Exception(std::source_location where = std::source_location::current()) noexcept;
    ~Exception() override;

    const char* what() const noexcept override;
    virtual std::int32_t ErrorCode() const noexcept;

    const char* SourceFile() const noexcept { return sourceFile_; }
    std::uint32_t SourceLine() const noexcept { return sourceLine_; }

private:
    const char* sourceFile_;  // static storage: the compiler's file-name literal
    std::uint32_t sourceLine_;
};

// A size or length that does not fit where it has to be stored.
class OutOfRange : public Exception {
public:
    static constexpr std::int32_t Code = static_cast<std::int32_t>(0x8ABC7007u);

    explicit OutOfRange(std::source_location where = std::source_location::current()) noexcept;
    ~OutOfRange() override;

    const char* what() const noexcept override;
    std::int32_t ErrorCode() const noexcept override;
};

// A code-page name that the text conversion does not know.
class InvalidLocale : public Exception {
public:
    static constexpr std::int32_t Code = static_cast<std::int32_t>(0x8ABC7024u);

    explicit InvalidLocale(std::source_location where = std::source_location::current()) noexcept;
    ~InvalidLocale() override;

    const char* what() const noexcept override;
    std::int32_t ErrorCode() const noexcept override;
};

}  // namespace orv::hmx::exception

// Spelling for throw sites that want to say so; the location comes from the
// constructor's default argument, which is evaluated here at the throw.
#define ORV_HMX_THROW(ExceptionType, ...) throw ExceptionType(__VA_ARGS__)
