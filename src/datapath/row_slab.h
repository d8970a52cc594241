// RowSlab: the row images of one row store, kept side by side in blocks.
//
// A report copies every stored row; rows that lie next to one another in memory are read at the speed
// of one long copy, while rows in separate allocations cost a trip to memory each. The slab hands out
// fixed-size slots from blocks, fills a block before it opens the next, reuses freed slots, and gives
// a block's memory back as soon as its last row is released, so that a store that empties (its rows
// expire) holds no row memory. Blocks grow with the store (as many rows as the store holds already, 4
// at least, about 64 KiB at most), so a store of one row costs one row.
//
// Not thread-safe: the row store's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vorpane::datapath {

class RowSlab {
  public:
    using Slot = uint32_t;

    explicit RowSlab(std::size_t rowSize);
    RowSlab(const RowSlab&) = delete;
    RowSlab& operator=(const RowSlab&) = delete;

    // A slot for one row in *slot (its bytes are the caller's to fill); false when the slab holds as
    // many blocks as a slot can name (millions of rows).
    bool acquire(Slot* slot);
    void release(Slot slot);
    char* row(Slot slot) const {
        return _blocks[slot >> kIndexBits].rows.get() + static_cast<std::size_t>(slot & kOffsetMask) * _rowSize;
    }
    void clear();
    std::size_t rowSize() const { return _rowSize; }
    // Blocks that hold memory (for tests and dumps).
    std::size_t blocksInUse() const;

  private:
    // A slot names its block in the high bits and its row in the block in the low ones.
    static constexpr unsigned kIndexBits = 16;
    static constexpr Slot kOffsetMask = (Slot{1} << kIndexBits) - 1;

    struct Block {
        std::unique_ptr<char[]> rows;  // null while the block holds no row
        std::vector<Slot> freed;       // slots below `filled` that were released
        uint32_t capacity = 0;         // rows, set when the block gets memory
        uint32_t filled = 0;           // slots handed out at least once since the block got memory
        uint32_t used = 0;
    };

    static bool full(const Block& b) { return b.rows != nullptr && b.freed.empty() && b.filled == b.capacity; }

    std::size_t _rowSize;
    uint32_t _maxPerBlock;
    std::size_t _capacity = 0;  // rows of the blocks that hold memory
    std::vector<Block> _blocks;
    std::vector<uint32_t> _open;  // blocks with a free slot, the one to fill next last
};

}  // namespace vorpane::datapath
