#include "datapath/row_slab.h"

#include <algorithm>
#include <cassert>

namespace vorpane::datapath {
namespace {
constexpr std::size_t kBlockBytes = 64 * 1024;
}

RowSlab::RowSlab(std::size_t rowSize)
    : _rowSize(std::max<std::size_t>(rowSize, 1)),
      _maxPerBlock(static_cast<uint32_t>(std::clamp<std::size_t>(kBlockBytes / _rowSize, 16, 4096))) {}

bool RowSlab::acquire(Slot* slot) {
    if (_open.empty()) {
        if (_blocks.size() > kOffsetMask) {
            return false;
        }
        _open.push_back(static_cast<uint32_t>(_blocks.size()));
        _blocks.emplace_back();
    }
    const uint32_t index = _open.back();
    Block& b = _blocks[index];
    if (!b.rows) {
        b.capacity = static_cast<uint32_t>(std::clamp<std::size_t>(_capacity, 4, _maxPerBlock));
        b.rows.reset(new char[_rowSize * b.capacity]);  // NOLINT: a block of rows, filled slot by slot
        _capacity += b.capacity;
    }
    if (!b.freed.empty()) {
        *slot = b.freed.back();
        b.freed.pop_back();
    } else {
        *slot = (index << kIndexBits) | b.filled++;
    }
    ++b.used;
    if (full(b)) {
        _open.pop_back();
    }
    return true;
}

void RowSlab::release(Slot slot) {
    const uint32_t index = slot >> kIndexBits;
    assert(index < _blocks.size() && _blocks[index].used > 0);
    Block& b = _blocks[index];
    const bool wasFull = full(b);
    --b.used;
    if (b.used == 0) {
        // The last row of the block: its memory goes now; the next row it takes starts it afresh.
        b.rows.reset();
        b.freed.clear();
        b.freed.shrink_to_fit();
        _capacity -= b.capacity;
        b.capacity = 0;
        b.filled = 0;
    } else {
        b.freed.push_back(slot);
    }
    if (_capacity == 0) {
        clear();  // the store is empty: not even the records of its blocks stay
        return;
    }
    if (wasFull) {
        // Fill the other open blocks first: a block that keeps few rows may then empty and go.
        _open.insert(_open.begin(), index);
    }
}

void RowSlab::clear() {
    std::vector<Block>().swap(_blocks);
    std::vector<uint32_t>().swap(_open);
    _capacity = 0;
}

std::size_t RowSlab::blocksInUse() const {
    return static_cast<std::size_t>(
        std::count_if(_blocks.begin(), _blocks.end(), [](const Block& b) { return b.rows != nullptr; }));
}

}  // namespace vorpane::datapath
