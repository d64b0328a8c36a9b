// Opening the data file, detecting its record format, creating the output
// ISI and the duplicate-key error file.
#pragma once

#include <cstdint>

#include "driver/status.h"

// End-of-record mark codes.
enum : int32_t { kEorCr = 0, kEorCrLf = 1, kEorLf = 2, kEorLfCr = 3, kEorNone = 4, kEorBinary = 5 };

Status sortOpen();

// Finds the file's last end-of-record mark by reading backwards in chunks of
// size − 1 bytes; measures the record length of fixed-length text data.
// Returns a mark code 0..4, -1 (size unknown) or -2 (read failure).
int32_t DetectEndOfRecord(int fd, uint8_t* buffer, uint32_t size);
