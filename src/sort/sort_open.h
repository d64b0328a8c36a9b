// Opening the data file, detecting its record format, creating the output
// ISI and the duplicate-key error file.
#pragma once

#include <cstdint>

#include "core/status.h"

Status sortOpen();
