// The module `tavo`: its init entry point, its functions and its two classes. Each callable
// is a description and a body; the body converts the arguments, runs the numerical core on
// plain values and converts the result back.
#include <cstdint>
#include <string>
#include <vector>

#include "host_binding.hpp"
#include "internal_failure.hpp"
#include "piecewise_polynomials.hpp"
#include "sparse_matrix_tools.hpp"

namespace tavo {
namespace {

using host::Arguments;
using host::Callable;
using host::Ref;

// ---------------------------------------------------------------------------------------
// Module functions

constexpr Callable kSumAsString =
    host::function("sum_as_string", {"a", "b"}, "Formats the sum of two numbers as string.");
Ref sum_as_string(const Arguments& arguments) {
    const std::uint64_t a = arguments.unsigned_integer(0);
    const std::uint64_t b = arguments.unsigned_integer(1);
    // Two values below 2^64 sum to below 2^65: formatted exactly, never wrapped.
    __extension__ using u128 = unsigned __int128;
    u128 sum = static_cast<u128>(a) + b;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(sum % 10)));
        sum /= 10;
    } while (sum != 0);
    return host::string_result(digits);
}

constexpr Callable kGetLagrangePoints =
    host::function("get_lagrange_points", {"degree", "n_t", "T"});
Ref get_lagrange_points(const Arguments& arguments) {
    const std::uint64_t degree = arguments.unsigned_integer(0);
    const std::uint64_t n_t = arguments.unsigned_integer(1);
    const double T = arguments.float_value(2);
    return host::float_list_result(LagrangeBasis(degree, n_t, T).points());
}

Ref triplet_result(const Triplets& triplets) {
    return host::triplet_result(triplets.rows, triplets.cols, triplets.values);
}

constexpr Callable kProlongationMatrix =
    host::function("lagrange_prolongation_matrix", {"nt_coarse", "nt_fine", "degree"});
Ref lagrange_prolongation_matrix(const Arguments& arguments) {
    const std::uint64_t nt_coarse = arguments.unsigned_integer(0);
    const std::uint64_t nt_fine = arguments.unsigned_integer(1);
    const std::uint64_t degree = arguments.unsigned_integer(2);
    return triplet_result(LagrangeBasis(degree, nt_coarse, 1.0).prolongation_triplets(nt_fine));
}

constexpr Callable kTransformation =
    host::function("lagrange_to_legendre_basis_transformation", {"degree", "n_t"});
Ref lagrange_to_legendre_basis_transformation(const Arguments& arguments) {
    const std::uint64_t degree = arguments.unsigned_integer(0);
    const std::uint64_t n_t = arguments.unsigned_integer(1);
    const TransformationEntries entries = LagrangeBasis(degree, n_t, 1.0).transformation_entries();
    // Straight from the pattern into the lists: one float per distinct weight, whatever n_t is.
    host::TripletBuilder builder(entries.count, entries.column_count());
    std::vector<Ref> weights;
    weights.reserve(entries.weights.size());
    for (const double w : entries.weights) weights.push_back(Ref::steal(builder.shared_float(w)));
    entries.for_each([&](std::uint64_t row, std::uint64_t col, std::size_t weight) {
        builder.add(row, col, Ref::borrow(weights[weight].get()).release());
    });
    return builder.result();
}

// ---------------------------------------------------------------------------------------
// LegendreBasis

struct BasisValue {
    std::uint64_t degree;
    std::uint64_t n_t;
    LegendreBasis basis;
};

constexpr Callable kBasisNew = host::constructor("LegendreBasis", {"degree", "n_t", "T"});
BasisValue make_basis(const Arguments& arguments) {
    const std::uint64_t degree = arguments.unsigned_integer(0);
    const std::uint64_t n_t = arguments.unsigned_integer(1);
    const double T = arguments.float_value(2);
    return {degree, n_t, LegendreBasis(degree, n_t, T)};
}

constexpr Callable kBasisEvaluateAt =
    host::method("LegendreBasis", "evaluate_at", {"t", "legendre_vals"});
Ref basis_evaluate_at(const Arguments& arguments, const BasisValue& b) {
    const double t = arguments.float_value(0);
    const std::vector<double> values = arguments.float_sequence(1);
    // Values past n_t * (degree + 1) are ignored; fewer is an internal failure.
    const CoefficientMatrix coefficients(values, b.n_t, checked_add(b.degree, 1));
    return host::float_result(b.basis.evaluate(coefficients, t));
}

// All but degree + 1 entries are zeros: one float object serves them all.
Ref all_basis_functions_result(const ActiveBasisFunctions& active) {
    return host::mostly_zero_float_list_result(active.size, active.interval, active.stride,
                                               active.values);
}

constexpr Callable kBasisAll = host::method("LegendreBasis", "evaluate_all_basis_functions", {"t"});
Ref basis_all(const Arguments& arguments, const BasisValue& b) {
    return all_basis_functions_result(b.basis.basis_functions_at(arguments.float_value(0)));
}

constexpr Callable kBasisAllDerivatives =
    host::method("LegendreBasis", "evaluate_all_basis_function_derivatives", {"t"});
Ref basis_all_derivatives(const Arguments& arguments, const BasisValue& b) {
    return all_basis_functions_result(
        b.basis.basis_function_derivatives_at(arguments.float_value(0)));
}

PyMethodDef basis_methods[] = {
    host::method_row<kBasisEvaluateAt, basis_evaluate_at>(),
    host::method_row<kBasisAll, basis_all>(),
    host::method_row<kBasisAllDerivatives, basis_all_derivatives>(),
    {nullptr, nullptr, 0, nullptr},
};
using BasisClass = host::ClassDefinition<BasisValue, kBasisNew, make_basis, basis_methods>;

// ---------------------------------------------------------------------------------------
// LegendreBasisEvaluator

struct EvaluatorValue {
    CoefficientMatrix dofs;  // n_t x (degree + 1); replaced whole by set_dofs
    LegendreBasis basis;
    std::uint64_t n_t;
    std::uint64_t degree;
};

constexpr Callable kEvaluatorNew = host::constructor(
    "LegendreBasisEvaluator", {"degree", "n_t", "T"},
    "Class to evaluate legendre basis more often without copying the dofs from python each time");
EvaluatorValue make_evaluator(const Arguments& arguments) {
    const std::uint64_t degree = arguments.unsigned_integer(0);
    const std::uint64_t n_t = arguments.unsigned_integer(1);
    const double T = arguments.float_value(2);
    return {CoefficientMatrix(n_t, checked_add(degree, 1)), LegendreBasis(degree, n_t, T), n_t,
            degree};
}

constexpr Callable kSetDofs = host::method("LegendreBasisEvaluator", "set_dofs", {"legendre_vals"});
Ref set_dofs(const Arguments& arguments, EvaluatorValue& e) {
    std::vector<double> values = arguments.float_sequence(0);
    assert_equal(values.size(), e.dofs.values().size(),
                 "LegendreBasisEvaluator: set_dofs: input vector has wrong length");
    e.dofs = CoefficientMatrix(std::move(values), e.n_t, e.degree + 1);
    return host::none_result();
}

constexpr Callable kEvaluatorAt = host::method("LegendreBasisEvaluator", "evaluate_at", {"t"});
Ref evaluator_at(const Arguments& arguments, const EvaluatorValue& e) {
    return host::float_result(e.basis.evaluate(e.dofs, arguments.float_value(0)));
}

constexpr Callable kEvaluatorDerivativeAt =
    host::method("LegendreBasisEvaluator", "evaluate_derivative_at", {"t"});
Ref evaluator_derivative_at(const Arguments& arguments, const EvaluatorValue& e) {
    return host::float_result(e.basis.evaluate_derivative(e.dofs, arguments.float_value(0)));
}

// The times are copied with the lock held (other threads may write the caller's array once
// it is released), then evaluated chunk by chunk on the worker pool and the calling thread
// while the calling thread turns finished chunks into floats. The buffer is held and the
// access shared until the list is complete.
template <BatchEvaluation::Quantity quantity>
Ref evaluate_batch(const Arguments& arguments, const EvaluatorValue& e) {
    const host::DoubleBuffer times(arguments[0], arguments.parameter_name(0));
    BatchEvaluation batch(e.basis, e.dofs, quantity, times.size());
    times.copy_to(batch.times());
    batch.start();
    return host::float_list_result(batch, times.size());
}

constexpr Callable kEvaluateMany =
    host::method("LegendreBasisEvaluator", "evaluate_many", {"t_values"});
constexpr Callable kEvaluateDerivativeMany =
    host::method("LegendreBasisEvaluator", "evaluate_derivative_many", {"t_values"});

PyMethodDef evaluator_methods[] = {
    host::method_row<kSetDofs, set_dofs>(),
    host::method_row<kEvaluatorAt, evaluator_at>(),
    host::method_row<kEvaluatorDerivativeAt, evaluator_derivative_at>(),
    host::method_row<kEvaluateMany, evaluate_batch<BatchEvaluation::Quantity::kValue>>(),
    host::method_row<kEvaluateDerivativeMany,
                     evaluate_batch<BatchEvaluation::Quantity::kDerivative>>(),
    {nullptr, nullptr, 0, nullptr},
};
using EvaluatorClass =
    host::ClassDefinition<EvaluatorValue, kEvaluatorNew, make_evaluator, evaluator_methods>;

// ---------------------------------------------------------------------------------------
// The module

PyMethodDef function_rows[] = {
    host::method_row<kSumAsString, sum_as_string>(),
    host::method_row<kTransformation, lagrange_to_legendre_basis_transformation>(),
    host::method_row<kProlongationMatrix, lagrange_prolongation_matrix>(),
    host::method_row<kGetLagrangePoints, get_lagrange_points>(),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavo",
    "A Python module implemented in C++.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

Ref init_module() {
    host::claim_interpreter();
    // Holds a strong reference for the life of the process once initialisation succeeded.
    static PyObject* cached = nullptr;
    if (cached != nullptr) return Ref::borrow(cached);

    Ref module = host::require(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    // Registration order: the functions, then the classes; __all__ follows it.
    for (PyMethodDef& row : function_rows) host::add_function(module.get(), &row);
    BasisClass::add_to(module.get());
    EvaluatorClass::add_to(module.get());
    cached = Ref::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace tavo

PyMODINIT_FUNC PyInit_tavo() { return tavo::host::trap(tavo::init_module); }
