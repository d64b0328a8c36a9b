// Primary-record selection: whether one record passes the p options of a
// definition, as the build's scanner decides it. A pure function: the
// record and the bytes that follow it in memory go in, selected or not
// comes out; what each term of an extended expression gave is kept on the
// stack. A field of a term may run on past the bytes in memory (a record
// at the end of a full input buffer): the caller's fetch brings the bytes
// that follow.
#pragma once

#include <cstdint>

#include "core/definition.h"
#include "core/record_key.h"

struct SelFetch {
  // Puts up to `want` bytes that follow the record's readable bytes at
  // `dest` (= text + readable, with room for kMaxSelLiteral bytes) and
  // returns how many there are (0 where nothing follows).
  uint32_t (*more)(void* ctx, uint8_t* dest, uint32_t want);
  void* ctx;
};

// The tests of the column table, in table order as the record's columns
// come, each on the byte its column shows (a blank under a tab or past the
// record's end); an extended expression is decided at its decision column.
// A failed test rejects the record there; nothing after it is looked at.
// True when the record passes every p option (always, without any).
bool SelectRecord(const IndexDefinition& d, const RecordSpan& r, const SelFetch& fetch);
