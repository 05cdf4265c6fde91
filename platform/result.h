// SPDX-License-Identifier: GPL-3.0-or-later
// One outcome vocabulary for walks and scans, and a small Result<T> for calls that
// either give a value or an Error (platform/error.h).
#pragma once

#include <utility>
#include <variant>

#include "platform/error.h"

namespace tw {

// How a walk, a scan or one of its steps ended.
enum class Outcome {
    Ok,       // done
    Failed,   // could not go on: stop
    Corrupt,  // this record or entry is damaged: skip it, count it, go on
    Stopped,  // the user asked to stop
};

template <typename T>
class Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error e) : v_(std::move(e)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    const Error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, Error> v_;
};

template <>
class Result<void> {
  public:
    Result() = default;
    Result(Error e) : err_(std::move(e)), ok_(false) {}
    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const Error& error() const { return err_; }

  private:
    Error err_;
    bool ok_ = true;
};

}  // namespace tw
