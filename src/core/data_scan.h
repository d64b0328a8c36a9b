// The data scan: a data file read front to back as the index build reads
// it, through one input buffer, record by record (deleted records, the end
// of the data, the end of each record, its tabs), each record that the
// primary-record tests select made into a sort item (position, length in
// the file, key). The build's scanner, the reader library's check of an
// index against its data and its reading of a record it is about to write
// are this one scan, each on a DataScan of its own: the data comes through
// a reader, and nothing is printed (what the build shows with -d reaches
// it as notices).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/definition.h"
#include "core/record_key.h"
#include "core/status.h"

// The longest record, its end-of-record mark included.
constexpr uint32_t kMaxFileRecLen = 65535;
// The input buffer: a data area, one look-ahead byte (the second byte of a
// two-byte mark at the area's end), and spare room for the bytes a
// selection field or the search for a mark reads beyond the area.
constexpr uint32_t kRecBufData = 65536;
constexpr uint32_t kRecBufSize = 65697;

// Where the scan's bytes come from.
struct ScanReader {
  // Reads up to `len` bytes at `offset`: the count read (short only at the
  // end of the data), or -1.
  ssize_t (*read)(void* ctx, uint64_t offset, void* buf, size_t len);
  // The data's size in bytes, or -1 when it cannot be found.
  int64_t (*size)(void* ctx);
  void* ctx;
};

// What a scan met that the build shows with -d, once each where so noted.
enum ScanNotice {
  kNoticeFillFailed,     // a read of the buffer stayed short
  kNoticeFillRetry,      // a short read is tried again: retries left, readPos, count
  kNoticeZeroRunBroken,  // (first time) zeros that are no whole number of records
  kNoticeLongRecord      // (first time) under s, a record wider than the record
                         // length: its columns, position, recLenFound
};

struct DataScan : IndexDefinition {
  ScanReader reader;
  // Called with each notice; nullptr: none is wanted.
  void (*notice)(const DataScan* scan, ScanNotice what, uint64_t a, uint64_t b, uint64_t c);
  // Receives the position of every deleted record (0 = go on, non-zero
  // ends the scan with that status).
  int32_t (*deletedRecFn)(uint64_t position);

  // ---- The input buffer (kRecBufSize bytes, the caller's) -----------------
  uint8_t* recBuf;
  uint64_t readPos;        // data offset after the buffer's contents
  uint8_t* recBufPtr;      // current byte in recBuf
  int32_t recBufCount;     // bytes not yet consumed, the current one included
  uint32_t lastFillCount;  // count of the last fill
  uint64_t recStartPos;    // position of the byte or record being scanned
  uint64_t lastRecordPos;  // where the last record scanned began

  // ---- Findings -------------------------------------------------------------
  uint64_t recCount;      // records scanned (deleted ones aside, unselected ones counted)
  uint32_t deletedCount;  // deleted records met
  uint8_t spaceCompFound, varLenFound, posInvalidFound, longRecFound, shortRecFound;

  // ---- The sub-list of items (sortMem, itemsInMem items of itemLen) ------
  uint8_t* sortMem;
  uint32_t itemsInMem;   // items the memory holds
  uint32_t itemLen;      // keyLen + 10
  uint32_t keyLen;       // key bytes
  uint32_t subListFree;  // room left in the sub-list
  KeyLayout keyLayout;   // the key bytes of colTable as runs; set by ScanSubList
};

// Refills recBuf from readPos. Returns the bytes now in it (0 = end of
// data) or kErrInputRead.
int32_t ScanFill(DataScan* s);

// The scan reads each record whole, so a record that runs past the
// buffer's end is read again from its start, and its reads need not fall
// where fills read one after another from the data's start would. The data
// length an index records is where those fills have reached when the data
// end: the end of the fill that holds the byte at `pos`. Leaves readPos
// there, reading that fill when the buffer holds another stretch. 0 or
// kErrInputRead.
Status SettleReadPosAt(DataScan* s, uint64_t pos);

// ScanSubList's result when the data is exhausted (the sub-list holds the
// last records, possibly none).
constexpr Status kSubListLast = -1;

// Fills the sort memory with one sub-list. Returns 0 (full), kSubListLast
// (data exhausted) or a failure status.
Status ScanSubList(DataScan* s);

// End-of-record mark codes of DetectEndOfRecord.
enum : int32_t { kEorCr = 0, kEorCrLf = 1, kEorLf = 2, kEorLfCr = 3, kEorNone = 4, kEorBinary = 5 };
// Finds the data's last end-of-record mark by reading backwards in chunks
// of size − 1 bytes into `buffer`, and sets the mark fields; measures the
// record length of fixed-length text data. Returns a mark code 0..4, -1
// (size unknown) or -2 (read failure).
int32_t DetectEndOfRecord(DataScan* s, uint8_t* buffer, uint32_t size);
// The record format the detection left, against what the format can hold:
// kErrNoRecLen (fixed-length data without a record length), kErrLongRecord
// (records longer than 65,535 bytes with their mark), or 0; for option g
// the mark's length is kept in isiEorLen.
Status CheckRecordFormat(IndexDefinition* d);
// The record length once the data's marks are known: a length given gains
// the end-of-record bytes (for g the mark is part of the binary record);
// for binary data the data's size must be a whole number of records.
// kErrNeedRecLen, kErrFileSize (the size cannot be found),
// kErrRecSizeFileLen, or 0.
Status SettleRecordLength(DataScan* s);

// A sort item's record length (mark included) against the record length
// in effect, as the build's output routine takes it: shorter and longer
// records are noted (the first of each kind returns kItemShort or
// kItemLong), and the data is then of variable length.
enum ItemLengthNote { kItemAsExpected, kItemShort, kItemLong, kItemNotedBefore };
ItemLengthNote NoteItemLength(DataScan* s, uint32_t length);

// The build's verdict on the data: true when it is not of the form the
// definition promised (zero runs or record lengths of variable-length data
// without v or s, tabs without s, a record longer than allowed).
bool DataFormViolated(const DataScan& s);

// The record format an index's header describes (byte 6 and the record
// length without marks), on a definition read from its stored line: the
// marks and the record length in effect, as the build's scan had them.
void RecordFormatFromHeader(IndexDefinition* d, uint8_t formatFlags, uint32_t recordLength);

// How a build reads one record that the data is to hold: its `len` bytes
// (end-of-record bytes included) scanned as if they were the whole data.
struct RecordReading {
  bool whole;     // read as that one record: not deleted, not cut, not the end of the data,
                  // and, as the data's last record, showing the index's record format
  bool selected;  // the p options select it
  bool formKept;  // data holding it keeps the form the definition promises
  bool tooLong;   // longer than the records of the index may be
  uint8_t key[kMaxKeyBytes];  // when selected
};
// `s` holds the definition and its record format, recBuf (kRecBufSize
// bytes) and a sub-list of two items (sortMem, itemsInMem, itemLen,
// keyLen); its reader, notices and findings are its own for the call.
// Returns 0, or the scan's failure status.
Status ReadRecordBack(DataScan* s, const uint8_t* bytes, uint32_t len, RecordReading* out);
