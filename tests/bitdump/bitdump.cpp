// Prints the bit pattern of every result of the numerical core for one fixed set of inputs,
// so that the output of two builds (say x86-64 and 64-bit Arm) can be compared line by line:
// every result is meant to be the same to the bit on every target.
//
// The inputs: meshes of degrees 0 to 12 with several interval counts and lengths (also 0
// and infinity); times at random (from the generator below, the same everywhere), on the
// mesh points computed two ways and one ulp to each side of them, at the ends, outside
// [0, T], infinite and NaN; batches long enough to run on the worker pool; the Lagrange
// points, prolongation and transformation triplets. NaNs are printed as "nan", whatever
// their sign and payload: 0/0 and inf*0 give a negative NaN on x86-64 and a positive one
// on Arm.
//
// Output: "# <what>" headers, then one line per input with the hex patterns of the results.
// The last line counts the results.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------------------
// The core's interface: everything below reaches the core only through these functions.

#include "piecewise_polynomials.hpp"
#include "sparse_matrix_tools.hpp"

namespace core {

using Values = std::vector<double>;

struct Mesh {
    std::uint64_t degree;
    std::uint64_t n_t;
    double T;
};

// Batches of this many times run on the worker pool.
constexpr std::size_t kPoolBatch = 2 * tavo::SERIAL_BATCH_LIMIT + 5;

struct Sparse {
    std::vector<std::uint64_t> rows;
    std::vector<std::uint64_t> cols;
    Values values;
};

tavo::LegendreBasis legendre(const Mesh& m) { return {m.degree, m.n_t, m.T}; }
tavo::CoefficientMatrix coefficients(const Mesh& m, const Values& c) {
    return {std::span<const double>(c), m.n_t, m.degree + 1};
}
Sparse sparse(const tavo::CsrMatrix& matrix) {
    tavo::Triplets t = tavo::csr_to_triplets(matrix);
    return {std::move(t.rows), std::move(t.cols), std::move(t.values)};
}

std::pair<std::uint64_t, double> locate(const Mesh& m, double t) {
    const tavo::IntervalPosition p = legendre(m).locate_interval(t);
    return {p.k, p.x};
}
double evaluate(const Mesh& m, const Values& c, double t, bool derivative) {
    const tavo::LegendreBasis basis = legendre(m);
    return derivative ? basis.evaluate_derivative(coefficients(m, c), t)
                      : basis.evaluate(coefficients(m, c), t);
}
Values evaluate_many(const Mesh& m, const Values& c, const Values& times, bool derivative) {
    const tavo::LegendreBasis basis = legendre(m);
    return derivative ? basis.evaluate_derivative_many(coefficients(m, c), times)
                      : basis.evaluate_many(coefficients(m, c), times);
}
Values basis_functions(const Mesh& m, double t, bool derivative) {
    const tavo::LegendreBasis basis = legendre(m);
    return derivative ? basis.evaluate_all_basis_function_derivatives(t)
                      : basis.evaluate_all_basis_functions(t);
}
Values equispaced_nodes(double a, double b, std::uint64_t n) {
    return tavo::equispaced_nodes(a, b, n);
}
Values lagrange_points(const Mesh& m) {
    const tavo::LagrangeBasis basis(m.degree, m.n_t, m.T);
    return {basis.points().begin(), basis.points().end()};
}
// As the module computes them: on meshes of [0, 1].
Sparse prolongation(std::uint64_t nt_coarse, std::uint64_t nt_fine, std::uint64_t degree) {
    return sparse(tavo::LagrangeBasis(degree, nt_coarse, 1.0).get_prolongation_matrix_to(nt_fine));
}
Sparse transformation(std::uint64_t degree, std::uint64_t n_t) {
    return sparse(tavo::LagrangeBasis(degree, n_t, 1.0).get_transormation_matrix_to_legendre());
}

}  // namespace core

// ---------------------------------------------------------------------------------------

namespace {

using core::Mesh;
using core::Values;

// splitmix64: the same sequence on every target and standard library (the distributions of
// <random> are not specified to the bit).
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    // Uniform in [a, b): 53 random bits scaled exactly into [0, 1), then one multiply-add
    // written as two operations.
    double uniform(double a, double b) {
        const double unit = static_cast<double>(next() >> 11) * 0x1p-53;
        const double scaled = (b - a) * unit;
        return a + scaled;
    }

private:
    std::uint64_t state_;
};

// Not printf's %a, whose digits differ between C libraries.
std::string hex(double v) {
    char text[17];
    std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    for (int i = 15; i >= 0; --i, bits >>= 4) text[i] = "0123456789abcdef"[bits & 15];
    text[16] = '\0';
    return text;
}
std::string describe(const Mesh& m) {
    return "degree " + std::to_string(m.degree) + " n_t " + std::to_string(m.n_t) + " T " +
           hex(m.T);
}

class Dump {
public:
    void header(const std::string& text) { std::printf("# %s\n", text.c_str()); }
    void line(std::span<const double> values) {
        const char* separator = "";
        for (double v : values) {
            std::fputs(separator, stdout);
            put(v);
            separator = " ";
        }
        std::fputc('\n', stdout);
        count_ += values.size();
    }
    void line(std::initializer_list<double> values) {
        line(std::span(values.begin(), values.size()));
    }
    void failure(const std::exception& e) { std::printf("failure: %s\n", e.what()); }
    std::uint64_t count() const { return count_; }

private:
    static void put(double v) { std::fputs(std::isnan(v) ? "nan" : hex(v).c_str(), stdout); }
    std::uint64_t count_ = 0;
};

// Times that probe one mesh; the same for every degree.
Values probe_times(std::uint64_t n_t, double T, Random& random) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double tiny = std::numeric_limits<double>::denorm_min();
    Values times = {0.0, -0.0, T, -T, T + T, -1.0, tiny};
    for (double far : {1e300, -1e300, inf, -inf, nan, -nan}) times.push_back(far);
    const std::uint64_t stride = n_t <= 100 ? 1 : n_t / 50;
    const double h = T / static_cast<double>(n_t);
    for (std::uint64_t k = 0; k <= n_t; k += stride) {
        const double kd = static_cast<double>(k);
        for (double point : {(T * kd) / static_cast<double>(n_t), h * kd}) {
            times.push_back(point);
            times.push_back(std::nextafter(point, -inf));
            times.push_back(std::nextafter(point, inf));
        }
    }
    for (int i = 0; i < 64; ++i) times.push_back(random.uniform(0.0, T));
    return times;
}

void dump_mesh(Dump& out, const Mesh& m, Random& random) {
    const std::string name = describe(m);
    Values c;
    for (std::uint64_t i = 0; i < m.n_t * (m.degree + 1); ++i) c.push_back(random.uniform(-2, 2));
    Values times = probe_times(m.n_t, m.T, random);

    out.header("lagrange points, " + name);
    try {
        const Values points = core::lagrange_points(m);
        out.line(points);
        times.insert(times.end(), points.begin(), points.end());
    } catch (const std::exception& e) {
        out.failure(e);
    }

    // Per time: the interval and local coordinate, value and slope.
    out.header("locate, evaluate, evaluate_derivative, " + name);
    for (double t : times) {
        const auto [k, x] = core::locate(m, t);
        out.line({t, static_cast<double>(k), x, core::evaluate(m, c, t, false),
                  core::evaluate(m, c, t, true)});
    }
    // Whole vectors, mostly zeros: on the smaller meshes only.
    if (m.n_t <= 64) {
        out.header("evaluate_all_basis_functions and derivatives, " + name);
        for (std::size_t j = 0; j < times.size(); j += times.size() / 24 + 1) {
            out.line({times[j]});
            out.line(core::basis_functions(m, times[j], false));
            out.line(core::basis_functions(m, times[j], true));
        }
    }

    // A batch long enough for the worker pool: the probes, then random times around [0, T].
    Values batch = times;
    while (batch.size() < core::kPoolBatch) {
        batch.push_back(random.uniform(-0.125 * m.T, 1.125 * m.T));
    }
    const Values values = core::evaluate_many(m, c, batch, false);
    const Values slopes = core::evaluate_many(m, c, batch, true);
    out.header("evaluate_many, evaluate_derivative_many, " + name);
    for (std::size_t j = 0; j < batch.size(); ++j) out.line({batch[j], values[j], slopes[j]});
}

void dump_sparse(Dump& out, const std::string& name, const core::Sparse& s) {
    out.header(name);
    for (std::size_t j = 0; j < s.values.size(); ++j) {
        out.line({static_cast<double>(s.rows[j]), static_cast<double>(s.cols[j]), s.values[j]});
    }
}

}  // namespace

int main() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    Dump out;
    Random random(20240613);
    const std::pair<std::uint64_t, double> meshes[] = {{1, 1.0},    {3, 2.0},        {7, 0.3},
                                                       {10, 1e-3},  {64, 7.0 / 3.0}, {5, 1e5},
                                                       {1000, 1.0}, {3, 0.0},        {2, inf}};
    for (std::uint64_t degree = 0; degree <= 12; ++degree) {
        out.header("equispaced nodes on [-1, 1], degree " + std::to_string(degree));
        out.line(core::equispaced_nodes(-1.0, 1.0, degree));
        for (const auto& [n_t, T] : meshes) dump_mesh(out, {degree, n_t, T}, random);

        const std::pair<std::uint64_t, std::uint64_t> refinements[] = {
            {1, 1}, {1, 2}, {2, 3}, {3, 7}, {4, 8}, {5, 3}, {7, 10}};
        for (const auto& [coarse, fine] : refinements) {
            const std::string name = "prolongation " + std::to_string(coarse) + " -> " +
                                     std::to_string(fine) + ", degree " + std::to_string(degree);
            try {
                dump_sparse(out, name, core::prolongation(coarse, fine, degree));
            } catch (const std::exception& e) {
                out.header(name);
                out.failure(e);
            }
        }
        for (std::uint64_t n_t : {1, 3}) {
            const std::string name =
                "transformation, degree " + std::to_string(degree) + " n_t " + std::to_string(n_t);
            try {
                dump_sparse(out, name, core::transformation(degree, n_t));
            } catch (const std::exception& e) {
                out.header(name);
                out.failure(e);
            }
        }
    }
    std::printf("results: %llu\n", static_cast<unsigned long long>(out.count()));
    return 0;
}
