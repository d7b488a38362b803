#include "core/error.hpp"

namespace vintrel::core {

std::string display(const EngineError& error) {
  auto prefixed = [&](std::string_view prefix) {
    std::string text(prefix);
    text += error.message;
    return text;
  };
  switch (error.kind) {
    case ErrorKind::configuration: return prefixed("invalid native configuration: ");
    case ErrorKind::state: return prefixed("invalid native state: ");
    case ErrorKind::batch: return prefixed("invalid native batch: ");
    case ErrorKind::buffer_size_overflow: return "native buffer size overflow";
    case ErrorKind::scalar_conversion: return "native scalar conversion failed";
    case ErrorKind::linear_solve: return "native linear solve failed";
    case ErrorKind::non_finite: return "native calculation produced a non-finite value";
  }
  throw InternalFault("unknown engine error kind");
}

// Every kind is listed, so the compiler flags a new kind until it is given
// its category here.
ErrorCategory error_category(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::configuration:
    case ErrorKind::state:
    case ErrorKind::batch:
    case ErrorKind::buffer_size_overflow:
    case ErrorKind::scalar_conversion: return ErrorCategory::value;
    case ErrorKind::linear_solve:
    case ErrorKind::non_finite: return ErrorCategory::runtime;
  }
  throw InternalFault("unknown engine error kind");
}

}  // namespace vintrel::core
