// recover: the rollback of an interrupted change on open (recover.h).
#include "kelisi/recover.h"

#include "core/recovery.h"
#include "kelisi.h"

namespace kisi {

int RecoverInterruptedChange(Io& io, const char* isiPath, bool* recovered) {
  char journal[kIsiJournalNameMax];
  int err = 0;
  IsiRecovery r = IsiRecoverInterruptedChange(io.env, isiPath, journal, &err);
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
  if (recovered != nullptr) *recovered = 0;
  if (isi_path == nullptr) return KELISI_E_ARG;
  kisi::Io io;
  bool done = false;
  int st = kisi::RecoverInterruptedChange(io, isi_path, &done);
  if (recovered != nullptr) *recovered = done ? 1 : 0;
  return st;
}
