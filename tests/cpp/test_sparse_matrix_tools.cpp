// Block assembly, triplet export and coordinate-to-CSR conversion.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "internal_failure.hpp"
#include "sparse_matrix_tools.hpp"
#include "test_support.hpp"

namespace {

using tavo::BlockGrid;
using tavo::CoordinateMatrix;
using tavo::CsrMatrix;
using tavo_test::Entry;
using tavo_test::expect_matrix;
using tavo_test::failure_message;

CsrMatrix csr(std::uint64_t rows, std::uint64_t cols, const std::vector<Entry>& entries) {
    CoordinateMatrix coo(rows, cols);
    for (const Entry& e : entries) coo.push(e.row, e.col, e.value);
    return coo.to_csr();
}

TEST(CsrToTriplets, EmptyMatrixGivesThreeEmptyVectors) {
    const tavo::Triplets t = tavo::csr_to_triplets(csr(4, 3, {}));
    EXPECT_TRUE(t.rows.empty());
    EXPECT_TRUE(t.cols.empty());
    EXPECT_TRUE(t.values.empty());
}

TEST(CsrToTriplets, RowMajorOrderRegardlessOfInsertionOrder) {
    expect_matrix(csr(2, 3, {{1, 2, 4.0}, {0, 1, -1.0}}), 2, 3, {{0, 1, -1.0}, {1, 2, 4.0}});
}

TEST(CsrToTriplets, StoredZerosAreExported) {
    expect_matrix(csr(3, 3, {{2, 0, 0.0}, {0, 2, -0.0}, {0, 0, 0.0}, {2, 2, 7.5}}), 3, 3,
                  {{0, 0, 0.0}, {0, 2, -0.0}, {2, 0, 0.0}, {2, 2, 7.5}});
}

TEST(CoordinateMatrix, ToCsrSumsDuplicatesAndKeepsZeroSums) {
    CoordinateMatrix coo(2, 3);
    coo.push(0, 0, 1.0);
    coo.push(1, 2, 2.0);
    coo.push(0, 1, 3.0);
    coo.push(0, 0, -1.0);
    coo.push(1, 2, 0.5);
    coo.push(1, 0, 0.25);
    EXPECT_EQ(coo.entry_count(), 6u);
    expect_matrix(coo.to_csr(), 2, 3, {{0, 0, 0.0}, {0, 1, 3.0}, {1, 0, 0.25}, {1, 2, 2.5}});
}

TEST(CoordinateMatrix, DimensionsPastTheSignedIndexRangeAreRefused) {
    const std::uint64_t too_many = std::uint64_t{1} << 63;
    EXPECT_EQ(failure_message([&] { CoordinateMatrix(too_many, 1); }), "capacity overflow");
    EXPECT_EQ(failure_message([&] { CoordinateMatrix(1, too_many); }), "capacity overflow");
    EXPECT_EQ(failure_message([] { CoordinateMatrix(1, 1).reserve(UINT64_MAX); }),
              "capacity overflow");
}

TEST(CsrBlockFromNdarray, OneByOneGridEqualsItsBlock) {
    const CsrMatrix block = csr(3, 4, {{2, 3, 5.0}, {0, 1, 0.0}, {0, 0, -2.0}, {2, 0, -0.0}});
    const BlockGrid grid = BlockGrid::from_fn(
        1, 1, [&](std::size_t, std::size_t) -> const CsrMatrix& { return block; });
    expect_matrix(tavo::csr_block_from_ndarray(grid), 3, 4,
                  {{0, 0, -2.0}, {0, 1, 0.0}, {2, 0, -0.0}, {2, 3, 5.0}});
}

TEST(CsrBlockFromNdarray, ColumnOfBlocksStacksAtRowOffsets) {
    const CsrMatrix a = csr(2, 3, {{0, 0, 1.0}, {1, 2, 2.0}});
    const CsrMatrix b = csr(1, 3, {{0, 1, 0.0}});
    const CsrMatrix c = csr(3, 3, {{0, 2, 3.0}, {2, 0, 4.0}});
    const std::vector<const CsrMatrix*> blocks{&a, &b, &c, &a};
    const BlockGrid grid = BlockGrid::from_fn(
        4, 1, [&](std::size_t i, std::size_t) -> const CsrMatrix& { return *blocks[i]; });
    expect_matrix(tavo::csr_block_from_ndarray(grid), 8, 3,
                  {{0, 0, 1.0},
                   {1, 2, 2.0},
                   {2, 1, 0.0},
                   {3, 2, 3.0},
                   {5, 0, 4.0},
                   {6, 0, 1.0},
                   {7, 2, 2.0}});
}

TEST(CsrBlockFromNdarray, TwoByTwoGridPlacesBlocksAtRowAndColumnOffsets) {
    const CsrMatrix a = csr(2, 1, {{0, 0, 1.0}, {1, 0, 2.0}});
    const CsrMatrix b = csr(2, 3, {{0, 2, 3.0}, {1, 0, 4.0}});
    const CsrMatrix c = csr(1, 1, {{0, 0, 5.0}});
    const CsrMatrix d = csr(1, 3, {{0, 1, 6.0}, {0, 2, 0.0}});
    BlockGrid grid(2, 2);
    grid.set(0, 0, a);
    grid.set(0, 1, b);
    grid.set(1, 0, c);
    grid.set(1, 1, d);
    expect_matrix(tavo::csr_block_from_ndarray(grid), 3, 4,
                  {{0, 0, 1.0},
                   {0, 3, 3.0},
                   {1, 0, 2.0},
                   {1, 1, 4.0},
                   {2, 0, 5.0},
                   {2, 2, 6.0},
                   {2, 3, 0.0}});
}

TEST(CsrBlockFromNdarray, ZeroHeightBlocksContributeNoRows) {
    const CsrMatrix empty = csr(0, 2, {});
    const CsrMatrix full = csr(2, 2, {{1, 1, 9.0}});
    BlockGrid mixed(3, 1);
    mixed.set(0, 0, empty);
    mixed.set(1, 0, full);
    mixed.set(2, 0, empty);
    expect_matrix(tavo::csr_block_from_ndarray(mixed), 2, 2, {{1, 1, 9.0}});

    BlockGrid only_empty(2, 2);
    for (std::size_t i = 0; i < 2; ++i) {
        for (std::size_t j = 0; j < 2; ++j) only_empty.set(i, j, empty);
    }
    expect_matrix(tavo::csr_block_from_ndarray(only_empty), 0, 4, {});
}

struct GridFailure {
    const char* name;
    std::vector<std::vector<std::pair<int, int>>> shapes;  // [block row][block col] = (rows, cols)
    const char* message;
};

class CsrBlockFromNdarrayFailure : public testing::TestWithParam<GridFailure> {};

TEST_P(CsrBlockFromNdarrayFailure, ReportsTheExactMessage) {
    const GridFailure& param = GetParam();
    const std::size_t R = param.shapes.size();
    const std::size_t K = R == 0 ? 0 : param.shapes[0].size();
    std::vector<CsrMatrix> blocks;
    blocks.reserve(R * K);
    for (const auto& row : param.shapes) {
        for (const auto& [rows, cols] : row) blocks.emplace_back(rows, cols);
    }
    const BlockGrid grid = BlockGrid::from_fn(
        R, K, [&](std::size_t i, std::size_t j) -> const CsrMatrix& { return blocks[i * K + j]; });
    EXPECT_EQ(failure_message([&] { tavo::csr_block_from_ndarray(grid); }), param.message);
}

INSTANTIATE_TEST_SUITE_P(
    Grids, CsrBlockFromNdarrayFailure,
    testing::Values(
        GridFailure{"NoBlockRows", {}, "empty block grid"},
        GridFailure{"NoBlockCols", {{}, {}}, "empty block grid"},
        GridFailure{"RowHeight",
                    {{{2, 1}, {2, 1}}, {{3, 1}, {2, 1}}},
                    "assertion `left == right` failed: inconsistent block-row height at row 1\n"
                    "  left: 2\n right: 3"},
        GridFailure{"ColWidth",
                    {{{1, 2}, {1, 5}, {1, 1}}, {{1, 2}, {1, 5}, {1, 4}}},
                    "assertion `left == right` failed: inconsistent block-col width at col 2\n"
                    "  left: 4\n right: 1"},
        GridFailure{"ZeroHeightBlockWidth",
                    {{{0, 3}}, {{2, 4}}},
                    "assertion `left == right` failed: inconsistent block-col width at col 0\n"
                    "  left: 4\n right: 3"},
        // Block (0, 1) has the wrong width and block (2, 1) the wrong height: rows are checked
        // first, whatever the position.
        GridFailure{"RowHeightWinsOverColWidth",
                    {{{1, 1}, {1, 7}}, {{1, 1}, {1, 2}}, {{4, 1}, {5, 2}}},
                    "assertion `left == right` failed: inconsistent block-row height at row 2\n"
                    "  left: 5\n right: 4"}),
    [](const testing::TestParamInfo<GridFailure>& info) { return info.param.name; });

TEST(CsrBlockFromNdarray, ZeroByKGridIsEmpty) {
    const BlockGrid grid(0, 3);
    EXPECT_EQ(failure_message([&] { tavo::csr_block_from_ndarray(grid); }), "empty block grid");
}

}  // namespace
