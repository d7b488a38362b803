#include "core/error.hpp"

#include <gtest/gtest.h>

#include <iterator>

namespace vintrel::core {
namespace {

TEST(EngineErrorTest, DisplayedTextPerKind) {
  const std::pair<EngineError, const char*> cases[] = {
      {EngineError::configuration("tau must be finite and positive"),
       "invalid native configuration: tau must be finite and positive"},
      {EngineError::state("state arrays must contain only finite values"),
       "invalid native state: state arrays must contain only finite values"},
      {EngineError::batch("invalid prediction shape"), "invalid native batch: invalid prediction shape"},
      {EngineError::overflow(), "native buffer size overflow"},
      {EngineError{ErrorKind::scalar_conversion, {}}, "native scalar conversion failed"},
      {EngineError::linear_solve(), "native linear solve failed"},
      {EngineError::non_finite(), "native calculation produced a non-finite value"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(display(error), text);
}

TEST(EngineErrorTest, EveryKindHasItsCategory) {
  using enum ErrorCategory;
  const ErrorCategory expected[] = {value, value, value, value, value, runtime, runtime};
  ASSERT_EQ(std::size(expected), std::size_t{ERROR_KIND_COUNT});
  for (int k = 0; k < ERROR_KIND_COUNT; ++k) {
    EXPECT_EQ(error_category(static_cast<ErrorKind>(k)), expected[k]) << "kind " << k;
  }
  // The count is exact: the value after the last kind is no kind.
  EXPECT_THROW(error_category(static_cast<ErrorKind>(ERROR_KIND_COUNT)), InternalFault);
}

}  // namespace
}  // namespace vintrel::core
