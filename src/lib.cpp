// The module `tavo`: its init entry point, its functions and its two classes. Every entry
// parses and converts its arguments in the binding layer, runs the numerical core on plain
// values and converts the result back.
#include <cstdint>
#include <optional>
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
using host::DoubleBuffer;
using host::ExclusiveAccess;
using host::Instance;
using host::Ref;
using host::SharedAccess;
using host::trap;

template <auto Entry>
PyCFunction fastcall() {
    // The interpreter calls a METH_FASTCALL | METH_KEYWORDS entry with this signature.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}
constexpr int kFastcallFlags = METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------------------------------
// Callable descriptions

constexpr const char* kAB[] = {"a", "b"};
constexpr const char* kMesh[] = {"degree", "n_t", "T"};
constexpr const char* kProlongation[] = {"nt_coarse", "nt_fine", "degree"};
constexpr const char* kDegreeNt[] = {"degree", "n_t"};
constexpr const char* kT[] = {"t"};
constexpr const char* kTValues[] = {"t", "legendre_vals"};
constexpr const char* kLegendreVals[] = {"legendre_vals"};
constexpr const char* kTimes[] = {"t_values"};

constexpr Callable kSumAsString{"sum_as_string", nullptr, kAB};
constexpr Callable kGetLagrangePoints{"get_lagrange_points", nullptr, kMesh};
constexpr Callable kProlongationMatrix{"lagrange_prolongation_matrix", nullptr, kProlongation};
constexpr Callable kTransformation{"lagrange_to_legendre_basis_transformation", nullptr, kDegreeNt};

constexpr Callable kBasisNew{"__new__", "LegendreBasis", kMesh, true};
constexpr Callable kBasisEvaluateAt{"evaluate_at", "LegendreBasis", kTValues};
constexpr Callable kBasisAll{"evaluate_all_basis_functions", "LegendreBasis", kT};
constexpr Callable kBasisAllDerivatives{"evaluate_all_basis_function_derivatives", "LegendreBasis",
                                        kT};

constexpr Callable kEvaluatorNew{"__new__", "LegendreBasisEvaluator", kMesh, true};
constexpr Callable kSetDofs{"set_dofs", "LegendreBasisEvaluator", kLegendreVals};
constexpr Callable kEvaluatorAt{"evaluate_at", "LegendreBasisEvaluator", kT};
constexpr Callable kEvaluatorDerivativeAt{"evaluate_derivative_at", "LegendreBasisEvaluator", kT};
constexpr Callable kEvaluateMany{"evaluate_many", "LegendreBasisEvaluator", kTimes};
constexpr Callable kEvaluateDerivativeMany{"evaluate_derivative_many", "LegendreBasisEvaluator",
                                           kTimes};

// ---------------------------------------------------------------------------------------
// Module functions

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kSumAsString, args, nargs, kwnames);
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
    });
}

PyObject* get_lagrange_points(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kGetLagrangePoints, args, nargs, kwnames);
        const std::uint64_t degree = arguments.unsigned_integer(0);
        const std::uint64_t n_t = arguments.unsigned_integer(1);
        const double T = arguments.float_value(2);
        const LagrangeBasis basis(degree, n_t, T);
        return host::float_list_result(basis.points());
    });
}

Ref triplets_of(const CsrMatrix& matrix) {
    const Triplets triplets = csr_to_triplets(matrix);
    return host::triplet_result(triplets.rows, triplets.cols, triplets.values);
}

PyObject* lagrange_prolongation_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kProlongationMatrix, args, nargs, kwnames);
        const std::uint64_t nt_coarse = arguments.unsigned_integer(0);
        const std::uint64_t nt_fine = arguments.unsigned_integer(1);
        const std::uint64_t degree = arguments.unsigned_integer(2);
        const LagrangeBasis coarse(degree, nt_coarse, 1.0);
        return triplets_of(coarse.get_prolongation_matrix_to(nt_fine));
    });
}

PyObject* lagrange_to_legendre_basis_transformation(PyObject*, PyObject* const* args,
                                                    Py_ssize_t nargs, PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kTransformation, args, nargs, kwnames);
        const std::uint64_t degree = arguments.unsigned_integer(0);
        const std::uint64_t n_t = arguments.unsigned_integer(1);
        const LagrangeBasis basis(degree, n_t, 1.0);
        return triplets_of(basis.get_transormation_matrix_to_legendre());
    });
}

// ---------------------------------------------------------------------------------------
// LegendreBasis

struct BasisValue {
    std::uint64_t degree;
    std::uint64_t n_t;
    LegendreBasis basis;
};

PyTypeObject* basis_type = nullptr;

PyObject* basis_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return trap([&] {
        const Arguments arguments(kBasisNew, args, kwargs);
        const std::uint64_t degree = arguments.unsigned_integer(0);
        const std::uint64_t n_t = arguments.unsigned_integer(1);
        const double T = arguments.float_value(2);
        return host::new_instance(type, BasisValue{degree, n_t, LegendreBasis(degree, n_t, T)});
    });
}

PyObject* basis_evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kBasisEvaluateAt, args, nargs, kwnames);
        auto& instance = host::receiver<BasisValue>(self, basis_type);
        const SharedAccess access(instance.borrow_flag);
        const double t = arguments.float_value(0);
        const std::vector<double> values = arguments.float_sequence(1);
        const BasisValue& b = instance.value;
        // Values past n_t * (degree + 1) are ignored; fewer is an internal failure.
        const CoefficientMatrix coefficients(values, b.n_t, checked_add(b.degree, 1));
        return host::float_result(b.basis.evaluate(coefficients, t));
    });
}

PyObject* basis_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kBasisAll, args, nargs, kwnames);
        auto& instance = host::receiver<BasisValue>(self, basis_type);
        const SharedAccess access(instance.borrow_flag);
        const double t = arguments.float_value(0);
        return host::float_list_result(instance.value.basis.evaluate_all_basis_functions(t));
    });
}

PyObject* basis_all_derivatives(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kBasisAllDerivatives, args, nargs, kwnames);
        auto& instance = host::receiver<BasisValue>(self, basis_type);
        const SharedAccess access(instance.borrow_flag);
        const double t = arguments.float_value(0);
        return host::float_list_result(
            instance.value.basis.evaluate_all_basis_function_derivatives(t));
    });
}

PyMethodDef basis_methods[] = {
    {"evaluate_at", fastcall<basis_evaluate_at>(), kFastcallFlags,
     "evaluate_at($self, t, legendre_vals)\n--\n\n"},
    {"evaluate_all_basis_functions", fastcall<basis_all>(), kFastcallFlags,
     "evaluate_all_basis_functions($self, t)\n--\n\n"},
    {"evaluate_all_basis_function_derivatives", fastcall<basis_all_derivatives>(), kFastcallFlags,
     "evaluate_all_basis_function_derivatives($self, t)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot basis_slots[] = {
    {Py_tp_doc, const_cast<char*>("LegendreBasis(degree, n_t, T)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(basis_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(host::destroy_instance<BasisValue>)},
    {Py_tp_methods, basis_methods},
    {0, nullptr},
};

PyType_Spec basis_spec = {"builtins.LegendreBasis", sizeof(Instance<BasisValue>), 0,
                          Py_TPFLAGS_DEFAULT, basis_slots};

// ---------------------------------------------------------------------------------------
// LegendreBasisEvaluator

struct EvaluatorValue {
    CoefficientMatrix dofs;  // n_t x (degree + 1); replaced whole by set_dofs
    LegendreBasis basis;
    std::uint64_t n_t;
    std::uint64_t degree;
};

PyTypeObject* evaluator_type = nullptr;

PyObject* evaluator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return trap([&] {
        const Arguments arguments(kEvaluatorNew, args, kwargs);
        const std::uint64_t degree = arguments.unsigned_integer(0);
        const std::uint64_t n_t = arguments.unsigned_integer(1);
        const double T = arguments.float_value(2);
        CoefficientMatrix dofs(n_t, checked_add(degree, 1));
        return host::new_instance(
            type, EvaluatorValue{std::move(dofs), LegendreBasis(degree, n_t, T), n_t, degree});
    });
}

PyObject* evaluator_set_dofs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kSetDofs, args, nargs, kwnames);
        auto& instance = host::receiver<EvaluatorValue>(self, evaluator_type);
        const ExclusiveAccess access(instance.borrow_flag);
        std::vector<double> values = arguments.float_sequence(0);
        EvaluatorValue& e = instance.value;
        assert_equal(values.size(), e.dofs.values().size(),
                     "LegendreBasisEvaluator: set_dofs: input vector has wrong length");
        e.dofs = CoefficientMatrix(std::move(values), e.n_t, e.degree + 1);
        return host::none_result();
    });
}

PyObject* evaluator_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kEvaluatorAt, args, nargs, kwnames);
        auto& instance = host::receiver<EvaluatorValue>(self, evaluator_type);
        const SharedAccess access(instance.borrow_flag);
        const double t = arguments.float_value(0);
        const EvaluatorValue& e = instance.value;
        return host::float_result(e.basis.evaluate(e.dofs, t));
    });
}

PyObject* evaluator_derivative_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(kEvaluatorDerivativeAt, args, nargs, kwnames);
        auto& instance = host::receiver<EvaluatorValue>(self, evaluator_type);
        const SharedAccess access(instance.borrow_flag);
        const double t = arguments.float_value(0);
        const EvaluatorValue& e = instance.value;
        return host::float_result(e.basis.evaluate_derivative(e.dofs, t));
    });
}

// Batch order: shared access, copy the times, release the lock, evaluate on the stored
// coefficients, re-acquire, release the buffer, build the list.
template <BatchEvaluation::Quantity quantity>
Ref evaluate_batch(const Callable& callable, PyObject* self, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
    const Arguments arguments(callable, args, nargs, kwnames);
    auto& instance = host::receiver<EvaluatorValue>(self, evaluator_type);
    const SharedAccess access(instance.borrow_flag);
    const EvaluatorValue& e = instance.value;
    std::optional<BatchEvaluation> batch;
    {
        const DoubleBuffer times(arguments[0], arguments.parameter_name(0));
        batch.emplace(e.basis, e.dofs, quantity, times.size());
        times.copy_to(batch->times());
        batch->start();
        host::without_lock([&] {
            for (std::size_t chunk = 0; chunk < batch->chunk_count(); ++chunk)
                batch->work_until_done(chunk);
        });
    }
    return host::float_list_result(batch->times());
}

PyObject* evaluator_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return trap([&] {
        return evaluate_batch<BatchEvaluation::Quantity::kValue>(kEvaluateMany, self, args,
                                                                  nargs, kwnames);
    });
}

PyObject* evaluator_derivative_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return trap([&] {
        return evaluate_batch<BatchEvaluation::Quantity::kDerivative>(
            kEvaluateDerivativeMany, self, args, nargs, kwnames);
    });
}

PyMethodDef evaluator_methods[] = {
    {"set_dofs", fastcall<evaluator_set_dofs>(), kFastcallFlags,
     "set_dofs($self, legendre_vals)\n--\n\n"},
    {"evaluate_at", fastcall<evaluator_at>(), kFastcallFlags, "evaluate_at($self, t)\n--\n\n"},
    {"evaluate_derivative_at", fastcall<evaluator_derivative_at>(), kFastcallFlags,
     "evaluate_derivative_at($self, t)\n--\n\n"},
    {"evaluate_many", fastcall<evaluator_many>(), kFastcallFlags,
     "evaluate_many($self, t_values)\n--\n\n"},
    {"evaluate_derivative_many", fastcall<evaluator_derivative_many>(), kFastcallFlags,
     "evaluate_derivative_many($self, t_values)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot evaluator_slots[] = {
    {Py_tp_doc, const_cast<char*>("LegendreBasisEvaluator(degree, n_t, T)\n--\n\n"
                                  "Class to evaluate legendre basis more often without copying "
                                  "the dofs from python each time")},
    {Py_tp_new, reinterpret_cast<void*>(evaluator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(host::destroy_instance<EvaluatorValue>)},
    {Py_tp_methods, evaluator_methods},
    {0, nullptr},
};

PyType_Spec evaluator_spec = {"builtins.LegendreBasisEvaluator", sizeof(Instance<EvaluatorValue>),
                              0, Py_TPFLAGS_DEFAULT, evaluator_slots};

// ---------------------------------------------------------------------------------------
// The module

PyMethodDef function_defs[] = {
    {"sum_as_string", fastcall<sum_as_string>(), kFastcallFlags,
     "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."},
    {"lagrange_to_legendre_basis_transformation",
     fastcall<lagrange_to_legendre_basis_transformation>(), kFastcallFlags,
     "lagrange_to_legendre_basis_transformation(degree, n_t)\n--\n\n"},
    {"lagrange_prolongation_matrix", fastcall<lagrange_prolongation_matrix>(), kFastcallFlags,
     "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)\n--\n\n"},
    {"get_lagrange_points", fastcall<get_lagrange_points>(), kFastcallFlags,
     "get_lagrange_points(degree, n_t, T)\n--\n\n"},
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

// Each class's type object is created once per process, at its first registration.
void add_class(PyObject* module, PyTypeObject*& type, PyType_Spec& type_spec,
               bool empty_docstring) {
    if (type == nullptr) {
        type =
            reinterpret_cast<PyTypeObject*>(host::new_type(&type_spec, empty_docstring).release());
    }
    const char* name = std::strrchr(type_spec.name, '.') + 1;
    const Ref name_object = host::require(PyUnicode_FromString(name));
    host::add_to_module(module, name_object.get(), reinterpret_cast<PyObject*>(type));
}

Ref init_module() {
    host::claim_interpreter();
    // Holds a strong reference for the life of the process once initialisation succeeded.
    static PyObject* cached = nullptr;
    if (cached != nullptr) return Ref::borrow(cached);

    Ref module = host::require(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    for (PyMethodDef& def : function_defs) host::add_function(module.get(), &def);
    add_class(module.get(), basis_type, basis_spec, true);
    add_class(module.get(), evaluator_type, evaluator_spec, false);
    cached = Ref::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace tavo

PyMODINIT_FUNC PyInit_tavo() { return tavo::host::trap(tavo::init_module); }
