// The one message every failed ISI write shows.
#include <cerrno>

#include "driver/messages.h"
#include "isi/tree_build.h"

void ShowIsiWriteFailure() {
  CmdShowf("\n%s%d\n", "Unable to write segment of index file. Errno=", errno);
}
