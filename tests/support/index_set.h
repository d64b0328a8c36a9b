// Several indexes over one data file, as the tests of changes over a set
// build them and hold them against their rebuilds.
#pragma once

#include <string>
#include <vector>

#include "support/test_util.h"

namespace kt {

// How index `isi` (in dir) differs from what `kelindex ISI -r` makes of a
// copy of it and of the data file `data`, both in a directory of their
// own: its entries as a set of (key, offset, size), its deleted-record
// list as a set (where the index keeps one), and every problem the reader library's check finds
// against the data (notes on the tree's shape aside, which changes in
// place leave). Empty when there is no difference. An index without
// entries is also accepted where the rebuild refuses for want of a record.
std::string RebuildDiff(const TempDir& dir, const std::string& isi, const std::string& data);

// RebuildDiff of each index of `isis`, the first difference named.
std::string SetRebuildDiff(const TempDir& dir, const std::vector<std::string>& isis,
                           const std::string& data);

}  // namespace kt
