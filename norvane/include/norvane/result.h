// norvane/result.h - a value or one NorvaneError.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

#include "norvane/error.h"

namespace norvane {

// Result<T> holds either a T or the NorvaneError that prevented it. Callers
// test it explicitly: `auto r = f(); if (!r) return r.error();`.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(NorvaneError e) : v_(std::in_place_index<1>, e) {}

    explicit operator bool() const noexcept { return v_.index() == 0; }
    bool ok() const noexcept { return v_.index() == 0; }

    T& value() & {
        assert(ok());
        return *std::get_if<0>(&v_);
    }
    const T& value() const& {
        assert(ok());
        return *std::get_if<0>(&v_);
    }
    T&& value() && {
        assert(ok());
        return std::move(*std::get_if<0>(&v_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    NorvaneError error() const {
        assert(!ok());
        return *std::get_if<1>(&v_);
    }

private:
    std::variant<T, NorvaneError> v_;
};

}  // namespace norvane
