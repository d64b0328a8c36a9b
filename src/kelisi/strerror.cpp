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
    case KELISI_NO_ENTRY:
      return "the record was written without an entry";
    case KELISI_E_TOO_LONG:
      return "the record is longer than the index's records";
    case KELISI_E_DUPLICATE:
      return "duplicate key in an index without duplicates";
    case KELISI_E_READONLY:
      return "the index is not open for update";
    case KELISI_E_WRITE:
      return "cannot write the index or the data file";
    case KELISI_E_RECORD:
      return "a build would not read the record back as one of the index (an end-of-record mark "
             "inside it, bytes taken for a deleted record or the end of the data, tabs without "
             "option s)";
    case KELISI_E_UNSUPPORTED:
      return "the format cannot hold the change (a record position past 4 GiB)";
    case KELISI_E_JOURNAL:
      return "a change was interrupted; open the index for update (or run kelisi check or "
             "kelindex) to recover";
    case KELISI_E_DATA_OTHER:
      return "the data file is not the one the index describes";
    case KELISI_E_BUILDING:
      return "the index's header is not written yet: it is being built, or its build did not "
             "finish";
    case KELISI_E_JOURNAL_WRITE:
      return "cannot create or write the rollback journal beside the index";
    case KELISI_E_DEFINITION:
      return "the index's stored command line cannot be used: it does not say which records "
             "get entries";
    case KELISI_E_BUSY:
      return "a change is open on the handle already, or none is";
    default:
      return "unknown status";
  }
}
