// A kernel handed a buffer of the wrong length faults, on the sequential
// path as on the parallel one: a sizing bug never turns into numbers
// computed over a silently shortened range.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "core/engine.hpp"
#include "core/solvers.hpp"
#include "core/kernels/gram.hpp"
#include "core/kernels/newton_system.hpp"
#include "core/kernels/objective.hpp"
#include "core/kernels/partition.hpp"
#include "core/kernels/vector.hpp"
#include "update_fixtures.hpp"

namespace vintrel::core {
namespace {

using testing::OwnedBatch;
using testing::default_config;
using testing::linear_batch;

// A batch, a state and a workspace sized for them; each case shortens one
// buffer by one element and calls the kernel that reads it.
struct Sized {
  FeatureLayout layout;
  OwnedBatch<double> batch;
  StreamState<double> state;
  Workspace<double> workspace;

  explicit Sized(std::uint64_t rows)
      : layout{2, true}, batch(linear_batch<double>(rows, layout, {1, -1, 0.5}, 1.0, 3)),
        state(StreamState<double>::zeros(3)) {
    batch.weights = std::vector<double>(rows, 1.0);
    EXPECT_TRUE(prepare_workspace(workspace, rows, 3));
  }
};

struct Case {
  std::string name;
  std::function<void(Sized&)> shorten_and_call;
  friend std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }
};

const UpdateModel kModel{.tau = 1.345, .total_weight = 1.0, .bandwidth = 0.5};
const UpdateModel kL1Model{.tau = 1.345, .penalty = Penalty::l1, .total_weight = 1.0};

void drop_last(std::vector<double>& buffer) { buffer.pop_back(); }

const Case kCases[] = {
    {"residuals", [](Sized& s) {
       drop_last(s.workspace.residuals);
       compute_residuals<double>(s.batch.design, 3, s.batch.target, s.state.coefficients, s.workspace.residuals);
     }},
    {"row_dots", [](Sized& s) {
       drop_last(s.workspace.psi);
       row_dots<double>(s.batch.design, 3, s.state.coefficients, s.workspace.psi);
     }},
    {"coefficients", [](Sized& s) {
       drop_last(s.state.coefficients);
       row_dots<double>(s.batch.design, 3, s.state.coefficients, s.workspace.psi);
     }},
    {"scores", [](Sized& s) {
       drop_last(s.workspace.psi);
       fill_scores<double>(s.batch.view(), 1.345, s.workspace);
     }},
    {"score_weights", [](Sized& s) {
       drop_last(*s.batch.weights);
       fill_scores<double>(s.batch.view(), 1.345, s.workspace);
     }},
    {"curvature", [](Sized& s) {
       drop_last(s.workspace.residuals);
       fill_curvature<double>(1.345, 0.5, s.workspace);
     }},
    {"objective_weights", [](Sized& s) {
       drop_last(*s.batch.weights);
       surrogate_objective<double>(s.batch.view(), s.state.coefficients, s.state, s.layout, kModel, s.workspace);
     }},
    {"objective_information", [](Sized& s) {
       drop_last(s.state.information);
       surrogate_objective<double>(s.batch.view(), s.state.coefficients, s.state, s.layout, kModel, s.workspace);
     }},
    {"gradient_psi", [](Sized& s) {
       drop_last(s.workspace.psi);
       static_cast<void>(
           newton_gradient<double>(s.batch.view(), s.state.coefficients, s.state, s.layout, kModel, s.workspace));
     }},
    {"gradient_step_delta", [](Sized& s) {
       drop_last(s.workspace.step_delta);
       static_cast<void>(
           newton_gradient<double>(s.batch.view(), s.state.coefficients, s.state, s.layout, kL1Model, s.workspace));
     }},
    {"gram_weights", [](Sized& s) {
       drop_last(s.workspace.curvature);
       static_cast<void>(weighted_gram<double>(s.batch.view(), s.workspace.curvature, s.workspace.row_scratch,
                                               gram_partials(s.workspace, 3), s.workspace.gram));
     }},
    {"solver_candidate", [](Sized& s) {
       drop_last(s.workspace.candidate);
       static_cast<void>(
           solve_newton<double>(s.workspace, s.batch.view(), s.state, s.layout, kModel, default_config().solver));
     }},
};

class KernelInvariantTest : public ::testing::TestWithParam<std::tuple<Case, std::uint64_t>> {};

TEST_P(KernelInvariantTest, AShortBufferIsAFault) {
  const auto& [c, rows] = GetParam();
  Sized setup(rows);
  EXPECT_THROW(c.shorten_and_call(setup), InternalFault);
}

// 50 rows stay on the calling thread; 400,000 rows of 3 reach every
// parallel form.
INSTANTIATE_TEST_SUITE_P(Kernels, KernelInvariantTest,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Values(50, 400'000)),
                         [](const auto& param_info) {
                           const std::string rows = std::to_string(std::get<1>(param_info.param));
                           return std::get<0>(param_info.param).name + "_" + rows;
                         });

TEST(KernelInvariantTest, ReducingIntoATargetOfAnotherWidthIsAFault) {
  std::vector<double> storage(6), target(1);
  EXPECT_THROW(reduce_slots<double>({.slots = 3, .width = 2, .stride = 2, .storage = storage}, target),
               InternalFault);
}

}  // namespace
}  // namespace vintrel::core
