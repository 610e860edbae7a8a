// The modal description of piecewise polynomials: Legendre coefficients and the basis that
// evaluates them at one time, or at many through the batch pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "legendre_kernels.hpp"

namespace tavo {

// n_t x (degree + 1) coefficients stored column by column, so that the storage is the flat
// coefficient vector in global numbering: element (k, i) is values[k + i * n_t].
class CoefficientMatrix {
public:
    // All zeros.
    CoefficientMatrix(std::uint64_t rows, std::uint64_t cols);
    // The first rows * cols values, in order; `values` must hold at least that many.
    CoefficientMatrix(std::span<const double> values, std::uint64_t rows, std::uint64_t cols);
    // Takes over `values`, which must hold exactly rows * cols values.
    CoefficientMatrix(std::vector<double>&& values, std::uint64_t rows, std::uint64_t cols);

    double operator()(std::uint64_t row, std::uint64_t col) const {
        return values_[row + col * rows_];
    }
    std::uint64_t rows() const { return rows_; }
    std::uint64_t cols() const { return cols_; }
    std::span<const double> values() const { return values_; }

private:
    std::vector<double> values_;
    std::uint64_t rows_;
    std::uint64_t cols_;
};

// All basis functions (or their slopes) at one time: zero outside the interval of the time,
// where the one of mode i takes values[i]. In the vector of all of them (global numbering)
// that is entry i * stride + interval.
struct ActiveBasisPosition {
    std::size_t size;        // (degree + 1) * n_t
    std::uint64_t interval;  // k
    std::uint64_t stride;    // n_t
};

struct ActiveBasisFunctions : ActiveBasisPosition {
    std::vector<double> values;

    // The vector of all of them.
    std::vector<double> expanded() const;
};

class LegendreBasis {
public:
    LegendreBasis(std::uint64_t degree, std::uint64_t n_t, double T)
        : degree_(degree),
          n_t_(n_t),
          T_(T),
          h_(T / static_cast<double>(n_t)),
          inverse_h_(kernels::exact_inverse(h_)) {}

    std::uint64_t degree() const { return degree_; }
    std::uint64_t n_t() const { return n_t_; }
    double T() const { return T_; }

    // n_t * (degree + 1), the length of a flat coefficient vector.
    std::uint64_t coefficient_count() const;

    IntervalPosition locate_interval(double t) const;

    double evaluate(const CoefficientMatrix& coefficients, double t) const {
        return kernels::value_at(view(coefficients), t);
    }
    double evaluate_derivative(const CoefficientMatrix& coefficients, double t) const {
        return kernels::slope_at(view(coefficients), t);
    }
    // The same from the flat coefficient vector in global numbering, of exactly
    // coefficient_count() values, read where it lies.
    double evaluate(std::span<const double> coefficients, double t) const {
        return kernels::value_at(view(coefficients), t);
    }
    std::vector<double> evaluate_all_basis_functions(double t) const;
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const;
    // The same, by their nonzero part alone.
    ActiveBasisFunctions basis_functions_at(double t) const;
    ActiveBasisFunctions basis_function_derivatives_at(double t) const;
    // The same into `values`, which holds degree + 1 of them: the vector of all of them has
    // `size` entries, entry i * stride + interval being values[i].
    ActiveBasisPosition basis_functions_at(double t, std::span<double> values) const;
    ActiveBasisPosition basis_function_derivatives_at(double t, std::span<double> values) const;

    // Entry j is evaluate / evaluate_derivative at times[j], bit for bit: the batch pipeline
    // (batch_evaluation.hpp) into a vector, as the module runs it into a list.
    std::vector<double> evaluate_many(const CoefficientMatrix& coefficients,
                                      std::span<const double> times) const;
    std::vector<double> evaluate_derivative_many(const CoefficientMatrix& coefficients,
                                                 std::span<const double> times) const;

    // The kernels' view of this mesh and `coefficients`, after checking that there is an
    // interval and that the coefficients have n_t rows and degree + 1 columns.
    ExpansionView view(const CoefficientMatrix& coefficients) const {
        // The checks inline, their failures out of line.
        if (n_t_ == 0 || coefficients.rows() != n_t_ || coefficients.cols() == 0 ||
            coefficients.cols() - 1 != degree_) [[unlikely]]
            refuse(coefficients.rows(), coefficients.cols());
        return {h_, n_t_, degree_, coefficients.values().data(), inverse_h_};
    }
    // The same for a flat vector, which must hold exactly coefficient_count() values.
    ExpansionView view(std::span<const double> coefficients) const {
        if (n_t_ == 0 || degree_ == UINT64_MAX || coefficients.size() / (degree_ + 1) != n_t_ ||
            coefficients.size() % (degree_ + 1) != 0) [[unlikely]]
            refuse(coefficients.size());
        return {h_, n_t_, degree_, coefficients.data(), inverse_h_};
    }

private:
    [[noreturn, gnu::cold, gnu::noinline]] void refuse(std::uint64_t rows,
                                                       std::uint64_t cols) const;
    [[noreturn, gnu::cold, gnu::noinline]] void refuse(std::size_t size) const;
    ActiveBasisPosition active_basis_functions(double t, bool derivatives,
                                               std::span<double> values) const;
    ActiveBasisFunctions active_basis_functions(double t, bool derivatives) const;

    std::uint64_t degree_;
    std::uint64_t n_t_;
    double T_;
    // T / n_t, divided once: every evaluation needs it first, and a division is the slowest
    // step of one. (Never used while n_t is 0: that mesh is refused first.)
    double h_;
    double inverse_h_;  // kernels::exact_inverse(h_)
};

}  // namespace tavo
