// strerror: the text of every status the library returns.
#include "kelisi.h"

extern "C" KELISI_API const char* kelisi_strerror(int status) {
  switch (status) {
    case KELISI_OK:
      return "success";
    case KELISI_NOTFOUND:
      return "no such entry";
    case KELISI_E_ARG:
      return "invalid argument";
    case KELISI_E_NOMEM:
      return "out of memory";
    case KELISI_E_OPEN:
      return "cannot open the index file";
    case KELISI_E_READ:
      return "cannot read the index file";
    case KELISI_E_NOT_ISI:
      return "not an ISI index file";
    case KELISI_E_HEADER:
      return "the index header holds impossible values";
    case KELISI_E_CORRUPT:
      return "the index is damaged";
    case KELISI_E_NO_DATA:
      return "the data file is not open";
    case KELISI_E_DATA_OPEN:
      return "cannot open the data file";
    case KELISI_E_DATA_READ:
      return "cannot read the record from the data file";
    case KELISI_E_LOCK:
      return "cannot take a shared lock on the data file";
    case KELISI_E_KEYSPEC:
      return "the header's key specifications do not describe the key";
    case KELISI_E_BUFFER:
      return "the buffer is too small";
    default:
      return "unknown status";
  }
}
