/* A client of the installed library: opens an index and its data file,
   finds a key and prints the record's offset and the record. Built by the
   installation test (make install) and the package test (the .deb files). */
#include <kelisi.h>
#include <stdio.h>
#include <string.h>
int main(int argc, char** argv) {
  kelisi* ix;
  int st = kelisi_open(argv[1], argv[2], 0, &ix);
  if (st != KELISI_OK) { fprintf(stderr, "%s\n", kelisi_strerror(st)); return 2; }
  kelisi_cursor* c;
  kelisi_entry e;
  char rec[64];
  size_t n = 0;
  kelisi_cursor_open(ix, &c);
  st = kelisi_find(c, argv[3], strlen(argv[3]), &e);
  if (st == KELISI_OK) st = kelisi_read_record(ix, &e, rec, sizeof rec, &n);
  if (st == KELISI_OK) printf("%llu %.*s", (unsigned long long)e.record_offset, (int)n, rec);
  kelisi_cursor_close(c);
  kelisi_close(ix);
  return st;
}
