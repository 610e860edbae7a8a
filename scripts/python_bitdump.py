"""Prints the bits of the module's results as Python sees them, one line per result, so that
two interpreters (glibc and musl, x86-64 and Arm) can be compared with cmp. Each float is
printed in hexadecimal; every NaN as "nan", whose sign differs between processors."""

import math
import random
from array import array

import tavo


def show(name, value):
    if isinstance(value, float):
        print(name, "nan" if math.isnan(value) else value.hex())
    elif isinstance(value, (list, tuple)):
        for index, item in enumerate(value):
            show(f"{name}[{index}]", item)
    else:
        print(name, repr(value))


def main():
    generator = random.Random(20)
    for degree in range(13):
        for n_t, end in [(1, 1.0), (7, 2.5), (40, 1e3)]:
            times = [end * generator.random() for _ in range(200)]
            times += [i * end / n_t for i in range(n_t + 1)] + [-0.5, end * 1.5]
            label = f"{degree},{n_t},{end}"
            basis = tavo.LegendreBasis(degree, n_t, end)
            dofs = [generator.uniform(-1.0, 1.0) for _ in range((degree + 1) * n_t)]
            for t in times[::25]:
                show(f"basis({label}).all({t.hex()})", basis.evaluate_all_basis_functions(t))
                show(f"basis({label}).slopes({t.hex()})",
                     basis.evaluate_all_basis_function_derivatives(t))
                show(f"basis({label}).at({t.hex()})", basis.evaluate_at(t, dofs))
            evaluator = tavo.LegendreBasisEvaluator(degree, n_t, end)
            evaluator.set_dofs(dofs)
            # Long enough for the worker pool to split it.
            batch = array("d", times * 4)
            show(f"many({label})", evaluator.evaluate_many(batch))
            show(f"slopes_many({label})", evaluator.evaluate_derivative_many(batch))
            show(f"lagrange_points({label})", tavo.get_lagrange_points(degree, n_t, end))
            if degree >= 1:
                show(f"transformation({degree},{n_t})",
                     tavo.lagrange_to_legendre_basis_transformation(degree, n_t))
                show(f"prolongation({n_t},{n_t + 3},{degree})",
                     tavo.lagrange_prolongation_matrix(n_t, n_t + 3, degree))


if __name__ == "__main__":
    main()
