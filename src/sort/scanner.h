// The record scanner: reads the data file through recBuf and turns every
// record into a sort item.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/status.h"

// The longest record, its end-of-record mark included.
constexpr uint32_t kMaxFileRecLen = 65535;

// Refills recBuf from readPos. Returns the bytes now in it (0 = end of
// data) or kErrInputRead.
int32_t fillInputBuffer(int fd);

// The scanner reads each record whole, so a record that runs past the
// buffer's end is read again from its start, and its reads need not fall
// where fills read one after another from the file's start would. The data
// length an index records is where those fills have reached when the data
// end: the end of the fill that holds the byte at `pos`. Leaves readPos
// there, reading that fill when the buffer holds another stretch. 0 or
// kErrInputRead.
Status SettleReadPosAt(uint64_t pos);

// CreateSubList's result when the data is exhausted (the sub-list holds the
// last records, possibly none).
constexpr Status kSubListLast = -1;

// Fills the sort memory with one sub-list. Returns 0 (full), -1 (data
// exhausted) or a failure status.
Status CreateSubList();

// One record as the scanner found it, whole, in recBuf.
struct RecordSpan {
  const uint8_t* text;  // its first byte
  uint64_t bytes;       // its bytes before the end-of-record mark (text data), or all of them
  uint64_t columns;     // its columns: bytes, a tab counting for the columns it stands for
  bool tabs;            // a tab in it stands for blanks
  bool ended;           // the data ends inside it: no mark follows
};

// The primary-record tests of the column table (p options) on the record:
// true when it is selected.
bool SelectRecord(const RecordSpan& record);
