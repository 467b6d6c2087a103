// The outcome of an operation at a seam between areas: a value, or an error
// code with a short context naming what failed (the step, as "open" or
// "rename"). Errors are values here; nothing is thrown.
#pragma once

#include <cassert>
#include <cerrno>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

namespace orv {

/// Why an operation failed: the code, and the step that failed when the
/// caller needs it to say more than the code alone.
struct Error {
    std::error_code code;
    std::string context;

    /// An errno value, in the generic category so it compares to std::errc.
    static Error fromErrno(int errnum, std::string context = {}) {
        return Error{std::error_code(errnum, std::generic_category()), std::move(context)};
    }
    /// The errno a system call just left, with the step it belongs to.
    static Error lastErrno(std::string context = {}) { return fromErrno(errno, std::move(context)); }
};

template <class T>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<std::decay_t<T>, Error>, "a Result cannot hold an Error as value");

public:
    /// A success holding `value`.
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    /// A failure.
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    /// The value; only on success.
    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    /// The error; a default (zero) code on success.
    std::error_code error() const noexcept { return ok() ? std::error_code() : std::get<1>(state_).code; }
    /// The error's errno value; 0 on success.
    int errnum() const noexcept { return error().value(); }
    /// The failing step; empty on success or when none was named.
    const std::string& context() const noexcept {
        static const std::string none;
        return ok() ? none : std::get<1>(state_).context;
    }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    /// A success.
    Result() = default;
    /// A failure.
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }

    std::error_code error() const noexcept { return error_.code; }
    int errnum() const noexcept { return error_.code.value(); }
    const std::string& context() const noexcept { return error_.context; }

private:
    Error error_;
    bool failed_ = false;
};

}  // namespace orv
