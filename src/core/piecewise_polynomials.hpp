// Piecewise polynomials on the time mesh (degree, n_t, T): [0, T] split into n_t intervals
// of length h = T / n_t, each carrying polynomials up to `degree`.
//
// Modal description: LegendreBasis. Basis function (i, k) is P_i mapped onto interval k;
// its global index is i * n_t + k (all mode-0 functions first).
// Nodal description: LagrangeBasis. Local node l of interval k has global index
// k * degree + l; neighbouring intervals share their common end node.
//
// Every result is specified to the bit; the .cpp files spell out the operation order.
//
// Its parts: legendre_basis.hpp (LegendreBasis and its coefficients), batch_evaluation.hpp
// (the batch pipeline), lagrange_basis.hpp (LagrangeBasis, the prolongation and the
// transformation to Legendre coefficients).
#pragma once

#include "batch_evaluation.hpp"
#include "lagrange_basis.hpp"
#include "legendre_basis.hpp"
