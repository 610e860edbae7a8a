// The memory that batches keep between them.
#pragma once

#include <cstddef>
#include <span>

namespace tavo {

// Memory for the items of one batch, `size` doubles, taken from blocks that earlier batches
// gave back. A fresh block of this size would be a fresh mapping that faults in page by
// page on every call; a kept one is already there. At most kMaxKeptBytes stay kept between
// batches, in at most kKeptBlocks blocks; a larger block is returned to the system.
class BatchStorage {
public:
    static constexpr std::size_t kKeptBlocks = 4;
    static constexpr std::size_t kMaxKeptBytes = std::size_t{128} * 1024 * 1024;

    explicit BatchStorage(std::size_t size);
    ~BatchStorage();
    BatchStorage(const BatchStorage&) = delete;
    BatchStorage& operator=(const BatchStorage&) = delete;

    std::span<double> items() const { return items_; }

    struct Block;

private:
    Block* block_;
    std::span<double> items_;
};

}  // namespace tavo
