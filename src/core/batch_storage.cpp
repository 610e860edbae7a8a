#include "batch_storage.hpp"

#include <atomic>
#include <limits>
#include <new>

namespace tavo {

// The header takes a whole cache line, so that the items start on one.
struct alignas(64) BatchStorage::Block {
    std::size_t capacity;
    double* data() { return reinterpret_cast<double*>(this + 1); }

    static Block* allocate(std::size_t capacity) {
        constexpr std::size_t max_items =
            (std::numeric_limits<std::size_t>::max() - sizeof(Block)) / sizeof(double);
        if (capacity > max_items) throw std::bad_alloc();
        void* memory = ::operator new(sizeof(Block) + capacity * sizeof(double),
                                      std::align_val_t{alignof(Block)});
        return new (memory) Block{capacity};
    }
    static void release(Block* block) noexcept {
        ::operator delete(static_cast<void*>(block), std::align_val_t{alignof(Block)});
    }
    std::size_t bytes() const { return capacity * sizeof(double); }
};

namespace {

// Lock-free, so that neither a fork nor a thread ended at interpreter exit can leave it
// locked.
std::atomic<BatchStorage::Block*> kept_blocks[BatchStorage::kKeptBlocks];
std::atomic<std::size_t> kept_bytes{0};

BatchStorage::Block* take_kept_block(std::size_t size) {
    for (auto& slot : kept_blocks) {
        BatchStorage::Block* block = slot.exchange(nullptr, std::memory_order_acquire);
        if (block == nullptr) continue;
        kept_bytes.fetch_sub(block->bytes());
        if (block->capacity >= size) return block;
        BatchStorage::Block::release(block);
    }
    return nullptr;
}

void keep_or_release(BatchStorage::Block* block) {
    const std::size_t bytes = block->bytes();
    if (kept_bytes.fetch_add(bytes) + bytes <= BatchStorage::kMaxKeptBytes) {
        for (auto& slot : kept_blocks) {
            BatchStorage::Block* empty = nullptr;
            if (slot.compare_exchange_strong(empty, block, std::memory_order_release)) return;
        }
    }
    kept_bytes.fetch_sub(bytes);
    BatchStorage::Block::release(block);
}

}  // namespace

BatchStorage::BatchStorage(std::size_t size) {
    block_ = take_kept_block(size);
    if (block_ == nullptr) block_ = Block::allocate(size);
    items_ = {block_->data(), size};
}

BatchStorage::~BatchStorage() { keep_or_release(block_); }

}  // namespace tavo
