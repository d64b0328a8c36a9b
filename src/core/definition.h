// The definition of an index: what a command text says about the data
// file, its records and their keys (the file fields, the options, the key
// specifications and the primary-record selection), and the record format
// the data file showed. The option parser reads a command text into one
// (definition_parse.h); the program's run context is made of it, and the
// reader library keeps one, read from the command line an index stores.
//
// The key specifications and primary-record tests are records of the ISI
// header (core/isi_format.h): the build copies them there as the parser
// builds them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/isi_format.h"

// Fixed text buffers of a definition.
constexpr size_t kNameSize = 512;        // file names
constexpr size_t kStoredLineSize = 528;  // stored command line (527 characters + NUL)
constexpr size_t kTmpDirSize = 260;

// Column table limits.
constexpr int kMaxColumns = 150;  // entries in use; one more holds the terminator
constexpr int kMaxSelTerms = 24;  // one more slot holds the end mark

// ColumnEntry flag bits.
enum : uint16_t {
  kColExtended = 4,               // column of an extended selection expression
  kColKey = 8,                    // key byte
  kColNotEqual = kSelOpNotEqual,  // selection: must differ from matchChar
  kColEqual = kSelOpEqual,        // selection: must equal matchChar
  kColUpper = 64,                 // key byte folded to upper case
  kColDescending = 128            // reserved; no option sets it
};
constexpr uint16_t kColEnd = 0xFFFF;  // keyPos of the entry after the last

// One record column that takes part in the key or in record selection.
struct ColumnEntry {
  uint16_t column;  // 0-based record column
  uint16_t keyPos;  // 0-based key position (key bytes only); kColEnd ends the table
  uint16_t flags;
  uint8_t matchChar;  // character compared by a selection test, 0 if none
};

// Term kinds and operators of an extended selection expression.
enum : uint8_t { kTermFirst = 1, kTermAnd = 2, kTermOr = 3, kTermEnd = 4 };
enum : uint32_t { kOpLess = 1, kOpGreater, kOpEqual, kOpNotEqual, kOpLessEq, kOpGreaterEq };

// One comparison of an extended selection expression. What a term gives
// for a record is the evaluator's own (selection.h): the definition holds
// none of it.
struct SelTerm {
  uint8_t kind;      // kTermFirst, kTermAnd, kTermOr; kTermEnd after the last
  uint16_t numeric;  // bit 1: numeric comparison
  uint32_t column;   // 0-based record column where the field starts
  uint32_t length;   // literal length; the field compared has the same length
  const char* text;  // the literal, inside the command text
  uint32_t op;       // kOpLess ... kOpGreaterEq
  double value;      // the literal as a number (numeric terms)
};

struct IndexDefinition {
  // ---- The command's fields --------------------------------------------
  char inName[kNameSize];               // data file (or ISI to compact), as typed
  char outName[kNameSize];              // output ISI, as typed
  uint32_t recLenSpec;                  // record length given (Lnnn, f=, g=), 0 = none
  char tmpDir[kTmpDirSize];             // work-file directory (and the length field's text)
  char storedCmdLine[kStoredLineSize];  // the line an index built from the text keeps

  // ---- Options -----------------------------------------------------------
  uint32_t compactFlags;  // 1 compact, 2 keep stored line (c=0), 4 backup made
  uint8_t compactShared;  // 1 shared mode (c, c=0), 0 exclusive (c=1)
  uint8_t showIndexInfo, reindex, reindexNoPath;
  uint8_t discardPath;      // option z / QRX_NOPATH=ON
  uint8_t noDriveInHeader;  // option y
  uint8_t spaceCompIsComp;  // default 1; option b clears
  uint8_t noDups, errFileOn, dupIgnore, dupQuiet;
  uint32_t maxFillPct;   // option m, default 100
  uint8_t isiOsType;     // 0, 8 (o=1) or 16 (o, o=2)
  uint8_t quitIfNoData;  // option q
  uint8_t allowVarLen, allowSpaceComp, writeAtEnd;
  uint8_t recNumMode;  // default 1; v and s clear it
  uint8_t binaryData, binaryWithEor;
  uint8_t upperCaseKeys;  // option u
  uint8_t showRecCount;   // default 1; option x clears

  // ---- Keys and primary-record selection ---------------------------------
  uint8_t primarySelForm;   // 0, 'p' simple tests, 'P' extended expression
  uint8_t pOptionCount;     // p options accepted
  int32_t primarySelCount;  // entries in primarySelTable
  PrimarySelEntry primarySelTable[kMaxPrimaryTests];
  KeySpecEntry keySpecTable[kMaxKeySpecs];
  uint32_t keySpecLen;  // key bytes
  ColumnEntry colTable[kMaxColumns + 1];
  int32_t colCount;
  SelTerm selTerms[kMaxSelTerms + 1];
  // The first column-table entry with a selection test (set with the
  // table's order): the selection of a record that reaches its column
  // starts there.
  int32_t firstTestEntry;

  // ---- The record format: the defaults (LF), then what the data showed ----
  uint8_t eorLen;              // end-of-record bytes per record (0, 1, 2)
  uint8_t eorChar1, eorChar2;  // the mark; eorChar2 = 0 for one byte
  uint8_t eorIsiFlags;         // the mark's code in the ISI header
  uint8_t isiEorLen;           // mark length kept for option g
  uint32_t recLenFound;        // record length in effect, mark included
};

// The defaults of a definition that is to read a command text (on a
// zero-filled record): a record format of LF, space compression read as
// such, fill up to 100 percent, record-number addressing, the record count
// shown.
void DefinitionDefaults(IndexDefinition* d);

// A tab in a text record stands for the blanks up to the next tab stop
// (unless option b makes it a byte like any other); binary records have
// no tabs.
inline bool ExpandsTabs(const IndexDefinition& d) {
  return d.spaceCompIsComp != 0 && d.binaryData == 0;
}

// A build lists the deleted records it meets, unless its records are all
// written at the end of the data file (w, v, s).
inline bool ListsDeletedRecords(const IndexDefinition& d) {
  return d.writeAtEnd == 0;
}

// Under n0 and n$ only the first record of a key gets an entry (a later d
// does not undo that: it only lets the header allow duplicates).
inline bool KeepsFirstOfKey(const IndexDefinition& d) {
  return d.dupIgnore != 0;
}
// Under n (without n0 or n$) a second record of a key makes the data
// unfit for the index.
inline bool RefusesDuplicates(const IndexDefinition& d) {
  return d.noDups != 0 && d.dupIgnore == 0;
}

// An extended expression is among the p options.
inline bool SelectsByExpression(const IndexDefinition& d) {
  return d.selTerms[0].kind == kTermFirst;
}
