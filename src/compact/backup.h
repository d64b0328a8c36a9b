// The backup that guards an in-place compaction: the whole ISI is copied
// beside it before its first byte is overwritten, copied back when the
// compaction fails, and removed at the end either way.
#pragma once

#include "core/status.h"

// Builds backupName, then makes the backup (CompactWriteBackup). 0 or -167.
Status CompactSaveIsi();
// Copies the backup back over the ISI (inFd). 0 (also when there is no
// backup) or -168.
Status CompactRestoreIsi();
// Closes and deletes the backup, releases the copy buffer. Always 0.
Status CompactCloseBackupIsi();

// backupName = the input ISI name joined from its parts + ".bak". False
// (backupName empty) when the name does not fit.
bool CompactBuildBackupName();
// Copies the ISI (inFd) into the file named by backupName and syncs it to
// disk; sets compactFlags bit 4. 0 or -167 after its own message.
Status CompactWriteBackup();
