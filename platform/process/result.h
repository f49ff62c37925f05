// Errors as values. A platform call that can fail returns a Status or a Result<T>; the
// library's own error code is turned into a message once, where the C call is made, and
// the program's edge turns the message into its "ERR:" line.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace talvex {

class [[nodiscard]] Status {
 public:
  static Status ok() { return Status(); }
  static Status failure(std::string message) { return Status(std::move(message)); }

  bool isOk() const { return !message_.has_value(); }
  explicit operator bool() const { return isOk(); }
  // The failure's description; empty for success.
  const std::string& message() const {
    static const std::string kEmpty;
    return message_ ? *message_ : kEmpty;
  }

 private:
  Status() = default;
  explicit Status(std::string message) : message_(std::move(message)) {}
  std::optional<std::string> message_;
};

// A value or the description of why there is none.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}           // NOLINT: implicit on purpose
  Result(Status failure) : v_(std::move(failure)) {}  // NOLINT: must be a failure

  static Result failure(std::string message) { return Result(Status::failure(std::move(message))); }

  bool isOk() const { return std::holds_alternative<T>(v_); }
  explicit operator bool() const { return isOk(); }

  T& value() & { return std::get<T>(v_); }
  const T& value() const& { return std::get<T>(v_); }
  T&& value() && { return std::get<T>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  Status status() const { return isOk() ? Status::ok() : std::get<Status>(v_); }
  const std::string& message() const {
    static const std::string kEmpty;
    return isOk() ? kEmpty : std::get<Status>(v_).message();
  }

 private:
  std::variant<T, Status> v_;
};

}  // namespace talvex
