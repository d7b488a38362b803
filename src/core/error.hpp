// Engine errors: values returned up the call chain, never thrown.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <stdexcept>
#include <string_view>

namespace vintrel::core {

enum class ErrorKind : std::uint8_t {
  configuration = 0,
  state = 1,
  batch = 2,
  buffer_size_overflow = 3,
  scalar_conversion = 4,
  linear_solve = 5,
  non_finite = 6,
};

// One more than the last kind's value.
inline constexpr int ERROR_KIND_COUNT = 7;

// A kind and, for the configuration, state and batch kinds, a fixed message.
// Messages are string literals, so an error never allocates.
struct EngineError {
  ErrorKind kind;
  std::string_view message;

  static constexpr EngineError configuration(std::string_view m) { return {ErrorKind::configuration, m}; }
  static constexpr EngineError state(std::string_view m) { return {ErrorKind::state, m}; }
  static constexpr EngineError batch(std::string_view m) { return {ErrorKind::batch, m}; }
  static constexpr EngineError overflow() { return {ErrorKind::buffer_size_overflow, {}}; }
  static constexpr EngineError linear_solve() { return {ErrorKind::linear_solve, {}}; }
  static constexpr EngineError non_finite() { return {ErrorKind::non_finite, {}}; }

  friend bool operator==(const EngineError&, const EngineError&) = default;
};

// The text a user sees: the kind's prefix and message, or the kind's fixed text.
std::string display(const EngineError& error);

// How a kind surfaces: as an error in the caller's input or state (a value
// error), or as a calculation that could not be completed (a runtime
// error).
enum class ErrorCategory : std::uint8_t { value, runtime };

ErrorCategory error_category(ErrorKind kind);

template <class T>
using Result = std::expected<T, EngineError>;
using Status = std::expected<void, EngineError>;

inline std::unexpected<EngineError> fail(EngineError error) { return std::unexpected(error); }

// Thrown only for broken internal invariants: a bug, not a user error.
struct InternalFault : std::logic_error {
  using std::logic_error::logic_error;
};

}  // namespace vintrel::core
