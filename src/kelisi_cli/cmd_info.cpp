// kelisi info: what an index's header says and what its tree and its
// deleted-record list hold, as text lines or one JSON object.
#include <cinttypes>
#include <cstring>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {

// The stored command line is the program's arguments; both views show it
// as a command, the program's name first.
const std::string kProgramName = "kelindex ";

bool HostIsLittleEndian() {
  uint16_t probe = 1;
  unsigned char first;
  memcpy(&first, &probe, 1);
  return first == 1;
}

// The end-of-record bytes by their names ("CR LF").
std::string MarkName(const kelisi_header& h) {
  std::string name;
  for (uint32_t i = 0; i < h.eor_length && i < 2; ++i) {
    if (i > 0) name += ' ';
    name += h.eor[i] == '\r' ? "CR" : "LF";
  }
  return name;
}

std::string RecordFormat(const kelisi_header& h) {
  std::string n = std::to_string(h.record_length);
  std::string mark = MarkName(h);
  std::string tail = mark.empty() ? " bytes, no end-of-record bytes" : " bytes + " + mark;
  if (h.binary) return "binary, " + n + tail;
  if (h.variable_length && h.space_compression) {
    return "variable-length text with space compression, at most " + n + tail;
  }
  if (h.variable_length) return "variable-length text, at most " + n + tail;
  return "fixed-length text, " + n + tail;
}

// Key columns as typed on kelindex's command line: 1-10,20,30-40.
std::string KeyColumns(const kelisi_header& h) {
  std::string s;
  for (uint32_t i = 0; i < h.key_spec_count; ++i) {
    const kelisi_keyspec& k = h.key_specs[i];
    if (!s.empty()) s += ',';
    s += std::to_string(k.first_column);
    if (k.last_column != k.first_column) s += '-' + std::to_string(k.last_column);
  }
  return s;
}

std::string TestChar(unsigned char c) {
  std::string s = "'";
  AppendEscaped(&s, &c, 1);
  return s + "'";
}

std::string Tests(const kelisi_header& h) {
  std::string s;
  for (uint32_t i = 0; i < h.test_count; ++i) {
    if (!s.empty()) s += ", ";
    s += "column " + std::to_string(h.tests[i].column) + ' ' + h.tests[i].op + ' ' +
         TestChar(h.tests[i].ch);
  }
  // The expression itself lives only in the command line; its entry in the
  // table of tests names the expression's last column.
  if (h.extended_selection) {
    return "an extended expression (see the command line)" +
           (s.empty() ? std::string() : "; as stored: " + s);
  }
  return s.empty() ? "none" : s;
}

std::string KeyOptions(const kelisi_header& h) {
  std::string s;
  if (h.upper_case) s += "upper case";
  if (h.no_duplicates) s += std::string(s.empty() ? "" : ", ") + "no duplicates";
  return s.empty() ? "none" : s;
}

std::string Hex(unsigned v, int digits) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

std::string Percent(double fill) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f%%", fill * 100.0);
  return buf;
}

void Line(const char* label, const std::string& value) {
  std::string s = label;
  s += ':';
  s.append(s.size() < 16 ? 16 - s.size() : 1, ' ');
  Out(s + value + "\n");
}

void ShowText(const std::string& path, const kelisi_header& h, const kelisi_stats* st) {
  const char* host = HostIsLittleEndian() ? "little-endian" : "big-endian";
  const char* other = HostIsLittleEndian() ? "big-endian" : "little-endian";
  Line("index", path);
  Line("file size", std::to_string(h.file_size) + " bytes");
  Line("byte order", h.other_byte_order ? std::string(other) + ", not this machine's"
                                        : std::string(host) + ", this machine's");
  Line("addressing", h.record_numbers ? "record numbers" : "byte offsets");
  Line("records", RecordFormat(h));
  if (h.append_at_end) Line("appending", "records may be appended at the end");
  Line("key", std::to_string(h.key_length) + " bytes from columns " + KeyColumns(h));
  Line("key options", KeyOptions(h));
  Line("record tests", Tests(h));
  Line("os type", std::to_string(h.os_type));
  Line("header flags", Hex(h.format_flags, 2) + " " + Hex(h.mode_flags, 2));
  std::string name;
  AppendEscaped(&name, reinterpret_cast<const unsigned char*>(h.data_name), strlen(h.data_name));
  Line("data file", name);
  std::string line;
  AppendEscaped(&line, reinterpret_cast<const unsigned char*>(h.command_line),
                strlen(h.command_line));
  Line("command line", h.command_line[0] != '\0' ? kProgramName + line : "none");
  Line("data length", std::to_string(h.data_length) + (h.record_numbers ? " records" : " bytes"));
  Line("entries built", std::to_string(h.record_count));
  Line("deleted", std::to_string(h.deleted_count) + " records");
  Line("spin", std::to_string(h.spin));
  if (st == nullptr) return;
  Line("depth", std::to_string(st->depth) + (st->depth == 1 ? " level" : " levels"));
  Line("key sectors",
       std::to_string(st->key_sectors) + " (" + std::to_string(st->leaf_sectors) + " leaves)");
  Line("entries",
       std::to_string(st->entries) + " (at most " + std::to_string(st->per_sector) + " a sector)");
  Line("fill", Percent(st->fill));
  Line("deleted list", std::to_string(st->ddr_sectors) + " sectors, " +
                           std::to_string(st->ddr_entries) + " positions");
}

void Field(std::string* s, const char* name, const std::string& jsonValue) {
  if (s->back() != '{') *s += ",";
  *s += "\n  \"";
  *s += name;
  *s += "\": " + jsonValue;
}
std::string J(const char* text) {
  std::string s;
  AppendJsonString(&s, text, strlen(text));
  return s;
}
std::string J(const std::string& text) {
  return J(text.c_str());
}
std::string B(int v) {
  return v ? "true" : "false";
}
std::string N(uint64_t v) {
  return std::to_string(v);
}

void ShowJson(const std::string& path, const kelisi_header& h, const kelisi_stats* st) {
  std::string s = "{";
  Field(&s, "index", J(path));
  Field(&s, "file_size", N(h.file_size));
  Field(&s, "other_byte_order", B(h.other_byte_order));
  Field(&s, "record_numbers", B(h.record_numbers));
  Field(&s, "record_length", N(h.record_length));
  Field(&s, "end_of_record", J(MarkName(h)));
  Field(&s, "variable_length", B(h.variable_length));
  Field(&s, "space_compression", B(h.space_compression));
  Field(&s, "binary", B(h.binary));
  Field(&s, "append_at_end", B(h.append_at_end));
  Field(&s, "upper_case", B(h.upper_case));
  Field(&s, "no_duplicates", B(h.no_duplicates));
  Field(&s, "os_type", N(static_cast<uint64_t>(h.os_type)));
  Field(&s, "format_flags", N(h.format_flags));
  Field(&s, "mode_flags", N(h.mode_flags));
  Field(&s, "key_length", N(h.key_length));
  Field(&s, "entry_size", N(h.entry_size));
  std::string specs = "[";
  for (uint32_t i = 0; i < h.key_spec_count; ++i) {
    specs += std::string(i ? ", " : "") + "{\"first\": " + N(h.key_specs[i].first_column) +
             ", \"last\": " + N(h.key_specs[i].last_column) + "}";
  }
  Field(&s, "key_specs", specs + "]");
  std::string tests = "[";
  for (uint32_t i = 0; i < h.test_count; ++i) {
    char op[2] = {h.tests[i].op, '\0'};
    char ch[2] = {static_cast<char>(h.tests[i].ch), '\0'};
    std::string chText;
    AppendJsonString(&chText, ch, 1);
    tests += std::string(i ? ", " : "") + "{\"column\": " + N(h.tests[i].column) +
             ", \"op\": " + J(op) + ", \"char\": " + chText + "}";
  }
  Field(&s, "tests", tests + "]");
  Field(&s, "extended_selection", B(h.extended_selection));
  Field(&s, "data_name", J(h.data_name));
  Field(&s, "command_line",
        h.command_line[0] != '\0' ? J(kProgramName + h.command_line) : std::string("null"));
  Field(&s, "data_length", N(h.data_length));
  Field(&s, "record_count", N(h.record_count));
  Field(&s, "deleted_count", N(h.deleted_count));
  Field(&s, "spin", N(h.spin));
  Field(&s, "root_position", N(h.root_position));
  Field(&s, "ddr_head", h.ddr_head != KELISI_NO_SECTOR ? N(h.ddr_head) : std::string("null"));
  if (st != nullptr) {
    Field(&s, "depth", N(st->depth));
    Field(&s, "key_sectors", N(st->key_sectors));
    Field(&s, "leaf_sectors", N(st->leaf_sectors));
    Field(&s, "entries", N(st->entries));
    Field(&s, "per_sector", N(st->per_sector));
    char fill[32];
    snprintf(fill, sizeof fill, "%.6f", st->fill);
    Field(&s, "fill", fill);
    Field(&s, "ddr_sectors", N(st->ddr_sectors));
    Field(&s, "ddr_entries", N(st->ddr_entries));
  }
  Out(s + "\n}\n");
}

}  // namespace

int RunInfo(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--json"}, {}, 1, 1, "info", &args)) return kExitFail;
  const std::string& path = args.positional[0];
  kelisi* ix = OpenOrFail(path, "");
  if (ix == nullptr) return kExitFail;
  kelisi_header h;
  int status = kelisi_get_header(ix, &h);
  kelisi_stats stats;
  int statsStatus = status == KELISI_OK ? kelisi_get_stats(ix, &stats) : status;
  kelisi_close(ix);
  if (status != KELISI_OK) return Fail(StatusText(status, path, ""));
  const kelisi_stats* st = statsStatus == KELISI_OK ? &stats : nullptr;
  if (args.flags.count("--json") != 0) {
    ShowJson(path, h, st);
  } else {
    ShowText(path, h, st);
  }
  if (st == nullptr) {
    Flush(kExitOk);
    return Fail(StatusText(statsStatus, path, "") + " (the tree cannot be walked)");
  }
  return Flush(kExitOk);
}

}  // namespace kelisi_cli
