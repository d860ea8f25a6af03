// Result<T, E>: a value or an error, the way every module edge reports failure.
// A small stand-in for C++23's std::expected; no exception ever carries an error out of the engine.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace pelorin {

template <typename E>
struct Unexpected {
    E error;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& error)
{
    return {std::forward<E>(error)};
}

template <typename T, typename E>
class [[nodiscard]] Result {
public:
    Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
    template <typename G>
    Result(Unexpected<G> failure) : storage_(std::in_place_index<1>, std::move(failure.error))
    {
    }

    bool hasValue() const { return storage_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() &
    {
        assert(hasValue());
        return std::get<0>(storage_);
    }
    const T& value() const&
    {
        assert(hasValue());
        return std::get<0>(storage_);
    }
    T&& value() &&
    {
        assert(hasValue());
        return std::get<0>(std::move(storage_));
    }
    const E& error() const
    {
        assert(!hasValue());
        return std::get<1>(storage_);
    }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, E> storage_;
};

// Success without a value.
template <typename E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <typename G>
    Result(Unexpected<G> failure) : error_(std::move(failure.error)),
                                    failed_(true)
    {
    }

    bool hasValue() const { return !failed_; }
    explicit operator bool() const { return hasValue(); }
    const E& error() const
    {
        assert(failed_);
        return error_;
    }

private:
    E error_{};
    bool failed_ = false;
};

} // namespace pelorin
