// How the pipeline fails: one type for every stage. A stage gives its value
// or a Failure, never an exception; the entry points turn a Failure into
// their result text and its detail.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace ambrel::pipeline {

struct Failure
{
    std::string_view code;  // the fixed result text (kHeif2JpgReadHeif, ...)
    std::string detail;     // the cause in plain English
};

// A value, or the failure that stands in for it.
template <typename T>
class [[nodiscard]] Result
{
public:
    Result(T value) : mValue(std::move(value)) {}            // NOLINT(google-explicit-constructor)
    Result(Failure failure) : mValue(std::move(failure)) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const { return std::holds_alternative<T>(mValue); }
    explicit operator bool() const { return ok(); }
    T& operator*() { return std::get<T>(mValue); }
    T* operator->() { return &std::get<T>(mValue); }
    [[nodiscard]] const Failure& failure() const { return std::get<Failure>(mValue); }

private:
    std::variant<T, Failure> mValue;
};

// A stage that gives nothing but may fail.
template <>
class [[nodiscard]] Result<void>
{
public:
    Result() = default;
    Result(Failure failure) : mFailure(std::move(failure)) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const { return !mFailure.has_value(); }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const Failure& failure() const { return *mFailure; }

private:
    std::optional<Failure> mFailure;
};

}  // namespace ambrel::pipeline
