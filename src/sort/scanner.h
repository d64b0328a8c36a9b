// The record scanner: reads the data file through recBuf and turns every
// record into a sort item.
#pragma once

#include <cstdint>

#include "driver/status.h"

// Refills recBuf from readPos. Returns the bytes now in it (0 = end of
// data) or kErrInputRead.
int32_t fillInputBuffer(int fd);

// CreateSubList's result when the data is exhausted (the sub-list holds the
// last records, possibly none).
constexpr Status kSubListLast = -1;

// Fills the sort memory with one sub-list. Returns 0 (full), -1 (data
// exhausted) or a failure status.
Status CreateSubList();

// Column mapping for the byte in column `column` (see the scanner):
// a key position, 0x8000 + columns to skip, 0xFFFE (record rejected) or
// 0xFFFF (no further column takes part).
uint16_t MapColumn(uint32_t column, uint8_t* curChar);
uint16_t MapColumnPastEnd(uint32_t column, uint8_t* curChar);

// A key byte folded to upper case as the C locale's toupper does.
inline uint8_t UpperC(uint8_t c) {
  return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c;
}
