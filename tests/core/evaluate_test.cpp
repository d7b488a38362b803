#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "core/engine.hpp"
#include "core/evaluate.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

using testing::linear_batch;
using testing::OwnedBatch;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A valid evaluation of raw features in caller units (two features and an
// intercept, eight rows) that each case breaks in one or more places.
struct EvaluateCase {
  FeatureLayout layout{2, true};
  OwnedBatch<double> batch = linear_batch<double>(8, FeatureLayout{2, false}, {1.0, -2.0}, 0.1, 3);
  std::vector<double> coefficients{0.5, -1.0, 0.25};
  std::vector<double> center{0.5, -0.5};
  std::vector<double> scale{2.0, 0.25};
  std::uint64_t n_parameters = 3;
  EvaluationConfig config{.tau = 1.345, .bandwidth = 0.2};
  Result<Evaluation<double>> run() {
    Workspace<double> workspace;
    const FeatureUnits units{center, scale};
    return evaluate_at<double>(workspace, batch.view(), coefficients, layout, n_parameters, config, &units);
  }
};

using CheckCase = testing::CheckCase<EvaluateCase>;

class EvaluateCheckOrderTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(EvaluateCheckOrderTest, FirstFailingCheckWins) { testing::expect_first_failing_check(GetParam()); }

using E = EngineError;
INSTANTIATE_TEST_SUITE_P(
    Driver, EvaluateCheckOrderTest,
    ::testing::Values(
        CheckCase{"layout_first", [](EvaluateCase& s) { s.n_parameters = 2; s.config.tau = 0; },
                  E::state("coefficient shape does not match feature metadata")},
        CheckCase{"tau", [](EvaluateCase& s) { s.config.tau = kNaN; s.config.bandwidth = -1; },
                  E::configuration("tau must be finite and positive")},
        CheckCase{"bandwidth", [](EvaluateCase& s) { s.config.bandwidth = -1e-300; s.coefficients.pop_back(); },
                  E::configuration("bandwidth must be finite and non-negative")},
        CheckCase{"coefficient_length", [](EvaluateCase& s) { s.coefficients.pop_back(); s.center.pop_back(); },
                  E::batch("coefficients length does not match state parameters")},
        CheckCase{"coefficient_values", [](EvaluateCase& s) { s.coefficients[2] = kNaN; s.center.pop_back(); },
                  E::batch("coefficients must contain only finite values")},
        CheckCase{"units_before_batch", [](EvaluateCase& s) { s.scale[1] = 0.0; s.batch.rows = 0; },
                  E::batch("x_scale must be finite and positive")},
        CheckCase{"raw_width", [](EvaluateCase& s) { s.batch.cols = 3; },
                  E::batch("design width does not match state parameters")},
        CheckCase{"standardised_values", [](EvaluateCase& s) { s.scale[0] = 1e-320; },
                  E::batch("batch arrays must contain only finite values")},
        CheckCase{"weights", [](EvaluateCase& s) { s.batch.weights.emplace(8, 0.0); },
                  E::batch("sample_weight must contain a positive value")}),
    [](const auto& test_info) { return test_info.param.name; });

}  // namespace
}  // namespace vintrel::core
