// Shell's method with halving gaps over the sort words of one sub-list, and
// the vector units it can use to run several insertions at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sort/sort_word.h"

// The instructions a sort may use. Every kind gives the same result, by
// the same insertions in the same order on each chain.
enum class ShellLanes { kScalar, kAvx2, kAvx512 };

// The widest kind this processor runs (kScalar off x86-64).
ShellLanes ShellLanesHere();

// Sorts the n words at p (n ≥ 2) with gaps n/2, n/4, ..., 1.
void ShellSort(uint64_t* p, size_t n, const WordForm& f, ShellLanes lanes);
