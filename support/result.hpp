// Result<T, E>: a value or exactly one error, never both.
//
// Every fallible operation in the library returns one of these instead of
// throwing. Errors are plain values of the subsystem's error type and travel
// upwards by move; they turn into text only where they cross a subsystem
// boundary (see VantoreskError) and into an exception only in python/.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vantoresk::support {

// Tag type to build an error result without ambiguity when T and E convert
// into each other.
template <class E>
struct Err {
    E error;
};

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Err<F> err) : state_(std::in_place_index<1>, E(std::move(err.error))) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }

    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, E> state_;
};

// Success carries no value.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class F>
    Result(Err<F> err) : error_(E(std::move(err.error))) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace vantoresk::support
