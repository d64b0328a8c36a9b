// The rollback journal (journal.h).
#include "isi/journal.h"

#include <cerrno>
#include <cstring>

bool JournalPathFor(const char* isiPath, char* out, size_t cap) {
  static const char kSuffix[] = "-journal";
  size_t n = strlen(isiPath);
  if (n + sizeof kSuffix > cap) return false;
  memcpy(out, isiPath, n);
  memcpy(out + n, kSuffix, sizeof kSuffix);
  return true;
}

int JournalBegin(const kel::Env*, const char*, int, const char*, int, Journal** out) {
  *out = nullptr;
  return -ENOSYS;
}
int JournalSave(Journal*, JournalFile, uint64_t, const void*, uint32_t) { return -ENOSYS; }
int JournalSync(Journal*) { return -ENOSYS; }
int JournalCommit(Journal*) { return -ENOSYS; }
int JournalRollback(Journal*) { return -ENOSYS; }
void JournalDiscard(Journal*) {}
int JournalRecover(const kel::Env*, const char*) { return 0; }
