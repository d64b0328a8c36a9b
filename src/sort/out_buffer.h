// The shared 256 KiB output buffer.
#pragma once

#include <cstdint>

#include "core/status.h"

// Copies `len` bytes into outBuf, flushing to `fd` when it fills. 0 or -1.
Status OutWrite(int fd, const void* data, uint32_t len);
// Writes the buffered bytes to `fd` with one write. 0 or -1.
Status OutFlush(int fd);
