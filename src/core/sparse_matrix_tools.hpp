// Sparse forms of the module: coordinate (triplet) matrices, CSR matrices, grids of CSR
// blocks and the three-vector export that every sparse result leaves the module in.
#pragma once

#include <Eigen/SparseCore>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavo {

// CSR: row-major storage with 64-bit indices. Conversion from coordinate form sorts the
// columns of every row, sums entries that share a position and keeps stored zeros.
using CsrMatrix = Eigen::SparseMatrix<double, Eigen::RowMajor, std::int64_t>;

class CoordinateMatrix {
public:
    CoordinateMatrix(std::uint64_t rows, std::uint64_t cols);

    void reserve(std::uint64_t entries);
    // The caller guarantees row < rows() and col < cols().
    void push(std::uint64_t row, std::uint64_t col, double value) {
        entries_.emplace_back(static_cast<std::int64_t>(row), static_cast<std::int64_t>(col),
                              value);
    }

    std::uint64_t rows() const { return rows_; }
    std::uint64_t cols() const { return cols_; }
    std::size_t entry_count() const { return entries_.size(); }

    CsrMatrix to_csr() const;

private:
    std::uint64_t rows_;
    std::uint64_t cols_;
    std::vector<Eigen::Triplet<double, std::int64_t>> entries_;
};

// A block_rows x block_cols grid of references to CSR blocks; the caller owns the blocks
// and keeps them alive while the grid is used. One block may appear in several places.
class BlockGrid {
public:
    BlockGrid(std::size_t block_rows, std::size_t block_cols)
        : block_rows_(block_rows), block_cols_(block_cols), blocks_(block_rows * block_cols) {}

    template <class BlockOf>
    static BlockGrid from_fn(std::size_t block_rows, std::size_t block_cols, BlockOf&& block_of) {
        BlockGrid grid(block_rows, block_cols);
        for (std::size_t i = 0; i < block_rows; ++i) {
            for (std::size_t j = 0; j < block_cols; ++j) grid.set(i, j, block_of(i, j));
        }
        return grid;
    }

    void set(std::size_t i, std::size_t j, const CsrMatrix& block) {
        blocks_[i * block_cols_ + j] = &block;
    }
    const CsrMatrix& operator()(std::size_t i, std::size_t j) const {
        return *blocks_[i * block_cols_ + j];
    }
    std::size_t block_rows() const { return block_rows_; }
    std::size_t block_cols() const { return block_cols_; }

private:
    std::size_t block_rows_;
    std::size_t block_cols_;
    std::vector<const CsrMatrix*> blocks_;
};

struct Triplets {
    std::vector<std::uint64_t> rows;
    std::vector<std::uint64_t> cols;
    std::vector<double> values;

    void reserve(std::uint64_t entries);
    void push(std::uint64_t row, std::uint64_t col, double value) {
        rows.push_back(row);
        cols.push_back(col);
        values.push_back(value);
    }
};

// Places block (i, j) at the row offset of the block rows above it and the column offset
// of the block columns left of it. Every block row must have one height and every block
// column one width.
CsrMatrix csr_block_from_ndarray(const BlockGrid& grid);

// Stored entries in row-major order, ascending column within a row, stored zeros included.
Triplets csr_to_triplets(const CsrMatrix& matrix);

}  // namespace tavo
