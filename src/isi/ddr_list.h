// The deleted-record list written while the data file is scanned.
#pragma once

#include "driver/status.h"

// Records the deleted record at recStartPos: 0, or kErrDdrWrite.
Status InsertDDRN();
