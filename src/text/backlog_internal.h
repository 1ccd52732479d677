// What the backlog store shares with the backlog screen.
#pragma once

#include "text/backlog.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace kestrune::text::detail {

// One row of the store: the units [begin, end), the row break left out. Voice markers lie
// inside the rows.
struct BacklogRowSpan {
    std::uint32_t begin = 0, end = 0;
};

struct BacklogStore {
    std::mutex mutex;
    std::vector<std::uint16_t> units; // the write position is units.size()
    std::int32_t column = 0;
    std::int32_t rows = 0;
    std::int32_t width = k_backlog_max_width;
    std::uint64_t generation = 0; // changes with every change of the units
    // The rows as last split, for `split_generation`. Units change only at the end (a
    // unit or two before the write position may be replaced or taken back), so only the
    // rows from `dirty_from` on are split again.
    std::vector<BacklogRowSpan> split;
    std::uint64_t split_generation = ~std::uint64_t{0};
    std::size_t dirty_from = 0; // lowest unit changed since the last split
};

BacklogStore& backlog_store();
// The rows of the store (the lock held). A row break that is the very last unit starts no
// row of its own.
const std::vector<BacklogRowSpan>& backlog_rows(BacklogStore& s);
// Whether a unit ends a row.
inline bool is_row_break(std::uint16_t u) {
    return u == 9 || u == 10 || u == 13;
}

} // namespace kestrune::text::detail
