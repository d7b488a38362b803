// Batches and configurations shared by the update, solver and pool tests.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/types.hpp"
#include "kernel_testing.hpp"

namespace vintrel::core::testing {

// A batch that owns its arrays; view() borrows them as the binding does.
template <class T>
struct OwnedBatch {
  std::vector<T> design, target;
  std::optional<std::vector<T>> weights;
  std::uint64_t rows = 0, cols = 0;
  double batch_weight = 1.0;

  BatchView<T> view() const {
    BatchView<T> v{design, target, rows, cols, std::nullopt, batch_weight};
    if (weights) v.sample_weight = std::span<const T>(*weights);
    return v;
  }
};

// y = X beta + noise * N(0, 1) with N(0, 1) features and, when fitted, the
// intercept column of ones last.
template <class T>
OwnedBatch<T> linear_batch(std::uint64_t rows, const FeatureLayout& layout, const std::vector<double>& beta,
                           double noise, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  OwnedBatch<T> batch;
  batch.rows = rows;
  batch.cols = layout.n_parameters().value();
  for (std::uint64_t i = 0; i < rows; ++i) {
    double y = 0.0;
    for (std::uint64_t j = 0; j < batch.cols; ++j) {
      const double x = layout.is_intercept(j, batch.cols) ? 1.0 : normal(rng);
      batch.design.push_back(T(x));
      y += x * beta[j];
    }
    batch.target.push_back(T(y + noise * normal(rng)));
  }
  return batch;
}

inline UpdateConfig default_config(Penalty penalty = Penalty::none) {
  return UpdateConfig{.model = {.tau = 1.345, .penalty = penalty, .lambda_scale = 1.0, .bandwidth_scale = 1.0},
                      .solver = {.max_iter = 50, .tolerance = 1e-10, .ridge = 0.0}};
}

// One way to break a valid call (`Setup` builds it and `run`s it), and the
// error the first failing check must report.
template <class Setup>
struct CheckCase {
  std::string name;
  std::function<void(Setup&)> breaks;
  EngineError expected;
  friend void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }
};

template <class Setup>
void expect_first_failing_check(const CheckCase<Setup>& check) {
  Setup setup;
  check.breaks(setup);
  auto result = setup.run();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), check.expected) << display(result.error());
}

}  // namespace vintrel::core::testing
