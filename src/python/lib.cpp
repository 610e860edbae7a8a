// The module `tavo`: its init entry point, its functions and its two classes. Each callable
// is a description and a body; the body takes its converted arguments, runs the numerical
// core on plain values and converts the result back.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host_binding/batches.hpp"
#include "host_binding/conversions.hpp"
#include "host_binding/entries.hpp"
#include "host_binding/long_calls.hpp"
#include "host_binding/results.hpp"
#include "internal_failure.hpp"
#include "piecewise_polynomials.hpp"
#include "sparse_matrix_tools.hpp"

namespace tavo {
namespace {

using host::Callable;
using host::DoubleBufferArg;
using host::Float;
using host::FloatItems;
using host::FloatSequence;
using host::Ref;
using host::UnsignedInteger;

// ---------------------------------------------------------------------------------------
// Module functions

constexpr Callable kSumAsString =
    host::function("sum_as_string", {"a", "b"}, "Formats the sum of two numbers as string.");
Ref sum_as_string(UnsignedInteger a, UnsignedInteger b) {
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
Ref get_lagrange_points(UnsignedInteger degree, UnsignedInteger n_t, Float T) {
    const LagrangeBasis basis = host::run_long(
        host::work_steps({degree, n_t}),
        [=](const std::stop_token& stop) { return LagrangeBasis(degree, n_t, T, stop); });
    return host::float_list_result(basis.points());
}

constexpr Callable kProlongationMatrix =
    host::function("lagrange_prolongation_matrix", {"nt_coarse", "nt_fine", "degree"});
Ref lagrange_prolongation_matrix(UnsignedInteger nt_coarse, UnsignedInteger nt_fine,
                                 UnsignedInteger degree) {
    // A row costs O(degree): of high degree, one fine interval is hours of work.
    const std::uint64_t steps = std::max(host::work_steps({nt_coarse, degree}),
                                         host::work_steps({nt_fine, degree, degree + 1}));
    const Triplets triplets = host::run_long(steps, [=](const std::stop_token& stop) {
        return LagrangeBasis(degree, nt_coarse, 1.0, stop).prolongation_triplets(nt_fine, stop);
    });
    return host::triplet_result(triplets.rows, triplets.cols, triplets.values);
}

constexpr Callable kTransformation =
    host::function("lagrange_to_legendre_basis_transformation", {"degree", "n_t"});
Ref lagrange_to_legendre_basis_transformation(UnsignedInteger degree, UnsignedInteger n_t) {
    // The local factorisation costs O(degree^3).
    const std::uint64_t steps =
        std::max(host::work_steps({degree, n_t}), host::work_steps({degree, degree, degree}));
    const TransformationEntries entries = host::run_long(steps, [=](const std::stop_token& stop) {
        return LagrangeBasis(degree, n_t, 1.0, stop).transformation_entries(stop);
    });
    // Straight from the pattern into the lists: one float per distinct weight, whatever n_t is.
    return host::triplet_result(
        entries.count, entries.column_count(), [&](host::TripletBuilder& builder) {
            std::vector<Ref> weights;
            weights.reserve(entries.weights.size());
            for (const double w : entries.weights) weights.push_back(builder.shared_float(w));
            entries.for_each([&](std::uint64_t row, std::uint64_t col, std::size_t weight) {
                builder.add(row, col, weights[weight].share());
            });
        });
}

// ---------------------------------------------------------------------------------------
// LegendreBasis

constexpr host::ClassRecord kBasis{"LegendreBasis"};

constexpr Callable kBasisNew = kBasis.constructor({"degree", "n_t", "T"});
LegendreBasis make_basis(UnsignedInteger degree, UnsignedInteger n_t, Float T) {
    return LegendreBasis(degree, n_t, T);
}

constexpr Callable kBasisEvaluateAt = kBasis.method("evaluate_at", {"t", "legendre_vals"});
Ref basis_evaluate_at(const LegendreBasis& basis, Float t, const FloatItems& legendre_vals) {
    // Values past n_t * (degree + 1) are ignored; fewer is an internal failure.
    const std::uint64_t cols = checked_add(basis.degree(), 1);
    const std::span<const double> values = legendre_vals.items();
    // n_t * cols <= size, asked without the product, which may overflow.
    if (values.size() / cols >= basis.n_t()) {
        // Enough of them: read where they lie.
        return host::float_result(basis.evaluate(values.first(basis.n_t() * cols), t));
    }
    const CoefficientMatrix coefficients(values, basis.n_t(), cols);  // refuses them
    return host::float_result(basis.evaluate(coefficients, t));
}

// All but degree + 1 entries are zeros: one float object serves them all.
Ref all_basis_functions_result(const ActiveBasisPosition& active, std::span<const double> values) {
    return host::mostly_zero_float_list_result(active.size, active.interval, active.stride, values);
}

// The nonzero part in a buffer on the stack where it is small, else in a vector.
template <bool derivatives>
Ref all_basis_functions(const LegendreBasis& basis, Float t) {
    constexpr std::uint64_t kOnStack = 16;
    if (basis.degree() < kOnStack) {
        double values[kOnStack];
        const std::span<double> active_values(values, basis.degree() + 1);
        const ActiveBasisPosition active =
            derivatives ? basis.basis_function_derivatives_at(t, active_values)
                        : basis.basis_functions_at(t, active_values);
        return all_basis_functions_result(active, active_values);
    }
    const ActiveBasisFunctions active =
        derivatives ? basis.basis_function_derivatives_at(t) : basis.basis_functions_at(t);
    return all_basis_functions_result(active, active.values);
}

constexpr Callable kBasisAll = kBasis.method("evaluate_all_basis_functions", {"t"});
Ref basis_all(const LegendreBasis& basis, Float t) { return all_basis_functions<false>(basis, t); }

constexpr Callable kBasisAllDerivatives =
    kBasis.method("evaluate_all_basis_function_derivatives", {"t"});
Ref basis_all_derivatives(const LegendreBasis& basis, Float t) {
    return all_basis_functions<true>(basis, t);
}

PyMethodDef basis_methods[] = {
    host::method_row<kBasisEvaluateAt, basis_evaluate_at>(),
    host::method_row<kBasisAll, basis_all>(),
    host::method_row<kBasisAllDerivatives, basis_all_derivatives>(),
    {nullptr, nullptr, 0, nullptr},
};
using BasisClass = host::ClassDefinition<kBasisNew, make_basis, basis_methods>;

// ---------------------------------------------------------------------------------------
// LegendreBasisEvaluator

struct EvaluatorValue {
    CoefficientMatrix dofs;  // n_t x (degree + 1); replaced whole by set_dofs
    LegendreBasis basis;
};

constexpr host::ClassRecord kEvaluator{"LegendreBasisEvaluator"};

constexpr Callable kEvaluatorNew = kEvaluator.constructor(
    {"degree", "n_t", "T"},
    "Class to evaluate legendre basis more often without copying the dofs from python each time");
EvaluatorValue make_evaluator(UnsignedInteger degree, UnsignedInteger n_t, Float T) {
    return {CoefficientMatrix(n_t, checked_add(degree, 1)), LegendreBasis(degree, n_t, T)};
}

constexpr Callable kSetDofs = kEvaluator.method("set_dofs", {"legendre_vals"});
Ref set_dofs(EvaluatorValue& e, FloatSequence legendre_vals) {
    assert_equal(legendre_vals.size(), e.dofs.values().size(),
                 "LegendreBasisEvaluator: set_dofs: input vector has wrong length");
    e.dofs = CoefficientMatrix(std::move(legendre_vals), e.basis.n_t(), e.basis.degree() + 1);
    return host::none_result();
}

constexpr Callable kEvaluatorAt = kEvaluator.method("evaluate_at", {"t"});
Ref evaluator_at(const EvaluatorValue& e, Float t) {
    return host::float_result(e.basis.evaluate(e.dofs, t));
}

constexpr Callable kEvaluatorDerivativeAt = kEvaluator.method("evaluate_derivative_at", {"t"});
Ref evaluator_derivative_at(const EvaluatorValue& e, Float t) {
    return host::float_result(e.basis.evaluate_derivative(e.dofs, t));
}

// The buffer is held and the access shared until the list is complete.
template <BatchQuantity quantity>
Ref evaluate_batch(const EvaluatorValue& e, DoubleBufferArg t_values) {
    return host::float_list_batch_result(e.basis, e.dofs, quantity, t_values);
}

constexpr Callable kEvaluateMany = kEvaluator.method("evaluate_many", {"t_values"});
constexpr Callable kEvaluateDerivativeMany =
    kEvaluator.method("evaluate_derivative_many", {"t_values"});

PyMethodDef evaluator_methods[] = {
    host::method_row<kSetDofs, set_dofs>(),
    host::method_row<kEvaluatorAt, evaluator_at>(),
    host::method_row<kEvaluatorDerivativeAt, evaluator_derivative_at>(),
    host::method_row<kEvaluateMany, evaluate_batch<BatchQuantity::kValue>>(),
    host::method_row<kEvaluateDerivativeMany, evaluate_batch<BatchQuantity::kDerivative>>(),
    {nullptr, nullptr, 0, nullptr},
};
using EvaluatorClass = host::ClassDefinition<kEvaluatorNew, make_evaluator, evaluator_methods>;

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
    // A second import in parallel (by another name, or of another interpreter) waits here.
    [[maybe_unused]] const host::compat::InitLock init_lock;
    host::claim_interpreter();
    // Holds a strong reference for the life of the process once initialisation succeeded.
    static host::KeptForProcess cached;
    if (cached) return cached.get();

    host::look_up_sequence_types();
    // Made now, so that no call has to make it at its first failure.
    if (host::panic_type() == nullptr) throw host::PythonError{};
    Ref module = host::require(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!host::compat::declare_no_lock_needed(module.get())) throw host::PythonError{};
    // Registration order: the functions, then the classes; __all__ follows it.
    for (PyMethodDef& row : function_rows) host::add_function(module.get(), &row);
    BasisClass::add_to(module.get());
    EvaluatorClass::add_to(module.get());
    cached.keep(module);
    return module;
}

}  // namespace
}  // namespace tavo

PyMODINIT_FUNC PyInit_tavo() { return tavo::host::trap(tavo::init_module); }
