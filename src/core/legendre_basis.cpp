#include "legendre_basis.hpp"

#include <cstddef>
#include <utility>

#include "batch_evaluation.hpp"
#include "internal_failure.hpp"

namespace tavo {

// ---------------------------------------------------------------------------------------
// CoefficientMatrix

CoefficientMatrix::CoefficientMatrix(std::uint64_t rows, std::uint64_t cols)
    : values_(array_length<double>(checked_mul(rows, cols)), 0.0), rows_(rows), cols_(cols) {}

CoefficientMatrix::CoefficientMatrix(std::span<const double> values, std::uint64_t rows,
                                     std::uint64_t cols)
    : rows_(rows), cols_(cols) {
    const std::size_t n = array_length<double>(checked_mul(rows, cols));
    if (values.size() < n) fail("Matrix view: input data buffer too small.");
    values_.assign(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
}

CoefficientMatrix::CoefficientMatrix(std::vector<double>&& values, std::uint64_t rows,
                                     std::uint64_t cols)
    : values_(std::move(values)), rows_(rows), cols_(cols) {
    assert_equal(values_.size(), checked_mul(rows, cols),
                 "CoefficientMatrix: storage length must equal rows * cols");
}

// ---------------------------------------------------------------------------------------
// LegendreBasis

std::uint64_t LegendreBasis::coefficient_count() const {
    return checked_mul(n_t_, checked_add(degree_, 1));
}

namespace {

void require_intervals(std::uint64_t n_t) {
    // With no interval there is no row to read and no sound result.
    if (n_t == 0) fail("LegendreBasis: cannot evaluate on a mesh of zero intervals (n_t = 0)");
}

}  // namespace

void LegendreBasis::refuse(std::uint64_t rows, std::uint64_t cols) const {
    require_intervals(n_t_);
    assert_equal(rows, n_t_, "LegendreBasis: coefficient rows must equal n_t");
    assert_equal(cols, checked_add(degree_, 1),
                 "LegendreBasis: coefficient columns must equal degree + 1");
    fail("LegendreBasis: refused coefficients that pass every check");
}

void LegendreBasis::refuse(std::size_t size) const {
    require_intervals(n_t_);
    assert_equal(size, coefficient_count(),
                 "LegendreBasis: coefficient count must equal n_t * (degree + 1)");
    fail("LegendreBasis: refused coefficients that pass every check");
}

IntervalPosition LegendreBasis::locate_interval(double t) const {
    require_intervals(n_t_);
    return kernels::locate({h_, n_t_, degree_, nullptr, inverse_h_}, t);
}

std::vector<double> ActiveBasisFunctions::expanded() const {
    std::vector<double> all(size, 0.0);
    for (std::size_t i = 0; i < values.size(); ++i) all[i * stride + interval] = values[i];
    return all;
}

ActiveBasisPosition LegendreBasis::active_basis_functions(double t, bool derivatives,
                                                          std::span<double> values) const {
    const auto [k, x] = locate_interval(t);
    const ActiveBasisPosition position{array_length<double>(coefficient_count()), k, n_t_};
    assert_equal(values.size(), degree_ + 1, "LegendreBasis: room for degree + 1 values");
    double* out = values.data();
    if (derivatives) {
        const double h = h_;
        const double inverse_h = inverse_h_;
        // Each entry is doubled and divided by h on its own (evaluate_derivative does so
        // once, on the sum): by a multiplication where that is the same.
        kernels::legendre_derivatives(x, degree_, [&](std::uint64_t i, double dp) {
            out[i] = inverse_h != 0.0 ? (dp + dp) * inverse_h : (dp + dp) / h;
        });
    } else {
        kernels::legendre_values(x, degree_, [&](std::uint64_t i, double p) { out[i] = p; });
    }
    return position;
}

ActiveBasisPosition LegendreBasis::basis_functions_at(double t, std::span<double> values) const {
    return active_basis_functions(t, false, values);
}

ActiveBasisPosition LegendreBasis::basis_function_derivatives_at(double t,
                                                                 std::span<double> values) const {
    return active_basis_functions(t, true, values);
}

ActiveBasisFunctions LegendreBasis::active_basis_functions(double t, bool derivatives) const {
    // Refused in the order of the span form: a mesh of no interval, then sizes past 64 bits,
    // before anything is allocated.
    locate_interval(t);
    array_length<double>(coefficient_count());
    ActiveBasisFunctions active{};
    active.values.resize(array_length<double>(checked_add(degree_, 1)));
    static_cast<ActiveBasisPosition&>(active) =
        active_basis_functions(t, derivatives, active.values);
    return active;
}

ActiveBasisFunctions LegendreBasis::basis_functions_at(double t) const {
    return active_basis_functions(t, false);
}

ActiveBasisFunctions LegendreBasis::basis_function_derivatives_at(double t) const {
    return active_basis_functions(t, true);
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    return basis_functions_at(t).expanded();
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    return basis_function_derivatives_at(t).expanded();
}

std::vector<double> LegendreBasis::evaluate_many(const CoefficientMatrix& coefficients,
                                                 std::span<const double> times) const {
    return evaluate_batch_into_vector(*this, coefficients, BatchQuantity::kValue, times);
}

std::vector<double> LegendreBasis::evaluate_derivative_many(const CoefficientMatrix& coefficients,
                                                            std::span<const double> times) const {
    return evaluate_batch_into_vector(*this, coefficients, BatchQuantity::kDerivative, times);
}

}  // namespace tavo
