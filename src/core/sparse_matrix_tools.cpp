#include "sparse_matrix_tools.hpp"

#include <algorithm>
#include <string>

#include "internal_failure.hpp"

namespace tavo {

namespace {

Eigen::Index to_index(std::uint64_t count) {
    // Eigen sizes are signed; a dimension past that range cannot be stored.
    return static_cast<Eigen::Index>(array_length<char>(count));
}

}  // namespace

CoordinateMatrix::CoordinateMatrix(std::uint64_t rows, std::uint64_t cols)
    : rows_(static_cast<std::uint64_t>(to_index(rows))),
      cols_(static_cast<std::uint64_t>(to_index(cols))) {}

void CoordinateMatrix::reserve(std::uint64_t entries) {
    entries_.reserve(array_length<Eigen::Triplet<double, std::int64_t>>(entries));
}

CsrMatrix CoordinateMatrix::to_csr() const {
    CsrMatrix csr(static_cast<Eigen::Index>(rows_), static_cast<Eigen::Index>(cols_));
    // Entries inserted in row-major order with ascending, distinct columns (what every
    // operation of this module inserts) already are the CSR arrays: fill them directly.
    // Anything else is sorted and summed by the general conversion; both give the same matrix.
    const auto in_order = [](const auto& a, const auto& b) {
        return a.row() < b.row() || (a.row() == b.row() && a.col() < b.col());
    };
    if (std::adjacent_find(entries_.begin(), entries_.end(), [&](const auto& a, const auto& b) {
            return !in_order(a, b);
        }) != entries_.end()) {
        csr.setFromTriplets(entries_.begin(), entries_.end());
        csr.makeCompressed();
        return csr;
    }
    csr.resizeNonZeros(static_cast<Eigen::Index>(entries_.size()));
    std::int64_t* outer = csr.outerIndexPtr();
    std::int64_t* inner = csr.innerIndexPtr();
    double* values = csr.valuePtr();
    std::fill(outer, outer + csr.outerSize() + 1, std::int64_t{0});
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        ++outer[entries_[e].row() + 1];
        inner[e] = entries_[e].col();
        values[e] = entries_[e].value();
    }
    for (Eigen::Index r = 0; r < csr.outerSize(); ++r) outer[r + 1] += outer[r];
    return csr;
}

CsrMatrix csr_block_from_ndarray(const BlockGrid& grid) {
    const std::size_t R = grid.block_rows();
    const std::size_t K = grid.block_cols();
    if (R == 0 || K == 0) fail("empty block grid");

    std::vector<std::uint64_t> heights(R);
    for (std::size_t i = 0; i < R; ++i) {
        heights[i] = static_cast<std::uint64_t>(grid(i, 0).rows());
        for (std::size_t j = 1; j < K; ++j) {
            assert_equal(static_cast<std::uint64_t>(grid(i, j).rows()), heights[i], [&] {
                return "inconsistent block-row height at row " + std::to_string(i);
            });
        }
    }
    std::vector<std::uint64_t> widths(K);
    for (std::size_t j = 0; j < K; ++j) {
        widths[j] = static_cast<std::uint64_t>(grid(0, j).cols());
        for (std::size_t i = 1; i < R; ++i) {
            assert_equal(static_cast<std::uint64_t>(grid(i, j).cols()), widths[j], [&] {
                return "inconsistent block-col width at col " + std::to_string(j);
            });
        }
    }

    std::vector<std::uint64_t> row_offsets(R + 1, 0);
    for (std::size_t i = 0; i < R; ++i)
        row_offsets[i + 1] = checked_add(row_offsets[i], heights[i]);
    std::vector<std::uint64_t> col_offsets(K + 1, 0);
    for (std::size_t j = 0; j < K; ++j) col_offsets[j + 1] = checked_add(col_offsets[j], widths[j]);

    std::uint64_t stored = 0;
    for (std::size_t i = 0; i < R; ++i) {
        for (std::size_t j = 0; j < K; ++j) {
            stored = checked_add(stored, static_cast<std::uint64_t>(grid(i, j).nonZeros()));
        }
    }

    // Row by row, block by block from the left: every block lands in its own rectangle and
    // keeps its ascending columns, so the entries arrive in CSR order with no position
    // twice, exactly as the coordinate form of all blocks would convert.
    CoordinateMatrix coo(row_offsets[R], col_offsets[K]);
    coo.reserve(stored);
    for (std::size_t i = 0; i < R; ++i) {
        for (std::uint64_t r = 0; r < heights[i]; ++r) {
            for (std::size_t j = 0; j < K; ++j) {
                const CsrMatrix& block = grid(i, j);
                for (CsrMatrix::InnerIterator it(block, static_cast<Eigen::Index>(r)); it; ++it) {
                    coo.push(row_offsets[i] + r,
                             col_offsets[j] + static_cast<std::uint64_t>(it.col()), it.value());
                }
            }
        }
    }
    return coo.to_csr();
}

void Triplets::reserve(std::uint64_t entries) {
    rows.reserve(array_length<std::uint64_t>(entries));
    cols.reserve(array_length<std::uint64_t>(entries));
    values.reserve(array_length<double>(entries));
}

Triplets csr_to_triplets(const CsrMatrix& matrix) {
    Triplets out;
    out.reserve(static_cast<std::uint64_t>(matrix.nonZeros()));
    for (Eigen::Index r = 0; r < matrix.outerSize(); ++r) {
        for (CsrMatrix::InnerIterator it(matrix, r); it; ++it) {
            out.rows.push_back(static_cast<std::uint64_t>(r));
            out.cols.push_back(static_cast<std::uint64_t>(it.col()));
            out.values.push_back(it.value());
        }
    }
    return out;
}

}  // namespace tavo
