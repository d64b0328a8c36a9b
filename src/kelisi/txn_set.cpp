// txn_set: one change over several indexes of one data file.
// (Placeholder until the set is written: a set of one is a plain change.)
#include "kelisi/txn_internal.h"

extern "C" {

KELISI_API int kelisi_txn_begin_set(kelisi* const* ixs, size_t n, kelisi_txn** out) {
  if (out == nullptr) return KELISI_E_ARG;
  *out = nullptr;
  if (ixs == nullptr || n == 0) return KELISI_E_ARG;
  if (n == 1) return kelisi_txn_begin(ixs[0], out);
  return KELISI_E_UNSUPPORTED;
}

KELISI_API int kelisi_txn_entry(kelisi_txn* t, size_t i, kelisi_entry* out) {
  if (t == nullptr || out == nullptr || i != 0) return KELISI_E_ARG;
  return KELISI_E_UNSUPPORTED;
}

}  // extern "C"
