#include "core/error.hpp"

#include <gtest/gtest.h>

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

TEST(EngineErrorTest, KindsSplitIntoValueAndRuntimeErrors) {
  EXPECT_TRUE(is_value_error(ErrorKind::scalar_conversion));
  EXPECT_FALSE(is_value_error(ErrorKind::linear_solve));
  EXPECT_FALSE(is_value_error(ErrorKind::non_finite));
}

}  // namespace
}  // namespace vintrel::core
