// The backup that guards an in-place compaction.
#pragma once

#include "driver/status.h"

Status CompactSaveIsi();
Status CompactRestoreIsi();
Status CompactCloseBackupIsi();
