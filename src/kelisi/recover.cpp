// recover: the rollback of an interrupted change on open (recover.h).
#include "kelisi/recover.h"

#include <cstring>

#include "core/recovery.h"
#include "kelisi.h"

namespace kisi {

int RecoverInterruptedChange(Io& io, const char* isiPath, bool* recovered, const char* dataPath,
                             char* journal, int isiFd) {
  char name[kIsiJournalNameMax];
  if (journal == nullptr) journal = name;
  journal[0] = '\0';
  int err = 0;
  IsiRecovery r = IsiRecoverInterruptedChange(io.env, isiPath, journal, &err, dataPath, isiFd);
  if (recovered != nullptr) *recovered = r == kIsiRecovered;
  switch (r) {
    case kIsiNothingToRecover:
    case kIsiRecovered:
      return KELISI_OK;
    case kIsiRecoveryUnknown:
      // Whether there is one must be known: a failed look is a failed open.
      return KELISI_E_OPEN;
    case kIsiRecoveryLocked:
      return KELISI_E_LOCK;
    default:
      return KELISI_E_JOURNAL;
  }
}

}  // namespace kisi

extern "C" KELISI_API int kelisi_recover(const char* isi_path, int* recovered) {
  return kelisi_recover_journal(isi_path, nullptr, recovered, nullptr, 0);
}

extern "C" KELISI_API int kelisi_recover_journal(const char* isi_path, const char* data_path,
                                                 int* recovered, char* journal,
                                                 size_t journal_size) {
  if (recovered != nullptr) *recovered = 0;
  if (journal != nullptr && journal_size > 0) journal[0] = '\0';
  if (isi_path == nullptr || (journal == nullptr && journal_size != 0)) return KELISI_E_ARG;
  kisi::Io io;
  bool done = false;
  char name[kIsiJournalNameMax];
  int st = kisi::RecoverInterruptedChange(io, isi_path, &done, data_path, name);
  if (recovered != nullptr) *recovered = done ? 1 : 0;
  if (journal != nullptr && journal_size > 0 && name[0] != '\0') {
    size_t n = strlen(name);
    if (n >= journal_size) return st != KELISI_OK ? st : KELISI_E_BUFFER;
    memcpy(journal, name, n + 1);
  }
  return st;
}
