// The SQLite extension end to end: indexes of both byte orders, both
// addressings, duplicate keys and deleted records read as a table through
// SQL, row for row equal to `kelisi dump`; key comparisons and ORDER BY key
// answered from the tree, checked against the same rows in a plain SQLite
// table under SQLite's own comparison rules; the plans it offers; every
// failure a statement error with the library's text; and writes in
// transactions against a model of the data file.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "kelisi.h"
#include "kelisi_cli/text_escape.h"
#include "sqlite/key_range.h"
#include "support/model.h"
#include "support/test_util.h"

namespace {

using kt::Data;
using kt::TempDir;

// A database with the extension loaded; each call fails the test on a
// failure it does not expect.
class Db {
 public:
  Db() {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_load_extension(db_, KELISI_SQLITE_EXT, nullptr, &err), SQLITE_OK) << err;
    sqlite3_free(err);
  }
  ~Db() { sqlite3_close(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  // Runs `sql`; its error message ("" on success).
  std::string Exec(const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    std::string msg = rc == SQLITE_OK ? "" : err != nullptr ? err : sqlite3_errmsg(db_);
    sqlite3_free(err);
    return msg;
  }
  // The rows of `sql` with `params` bound, each row's columns escaped and
  // joined by tabs as kelisi prints entries (NULL as "NULL"); *error gets a
  // failure's message.
  std::vector<std::string> Rows(const std::string& sql, const std::vector<sqlite3_value*>& params,
                                std::string* error = nullptr) {
    std::vector<std::string> rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db_) << ": " << sql;
      return rows;
    }
    for (size_t i = 0; i < params.size(); ++i)
      sqlite3_bind_value(st, static_cast<int>(i + 1), params[i]);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        if (c > 0) row += '\t';
        if (sqlite3_column_type(st, c) == SQLITE_NULL) {
          row += "NULL";
          continue;
        }
        const unsigned char* text = sqlite3_column_text(st, c);
        kelisi_cli::AppendEscaped(&row, text, static_cast<size_t>(sqlite3_column_bytes(st, c)));
      }
      rows.push_back(row);
    }
    if (rc != SQLITE_DONE) {
      if (error != nullptr) {
        *error = sqlite3_errmsg(db_);
      } else {
        ADD_FAILURE() << sqlite3_errmsg(db_) << ": " << sql;
      }
    }
    sqlite3_finalize(st);
    return rows;
  }
  std::vector<std::string> Rows(const std::string& sql, std::string* error = nullptr) {
    return Rows(sql, {}, error);
  }
  // The detail lines of EXPLAIN QUERY PLAN, joined by "; ".
  std::string Plan(const std::string& sql) {
    std::string plan;
    for (const std::string& row : Rows("EXPLAIN QUERY PLAN " + sql)) {
      plan += (plan.empty() ? "" : "; ") + row.substr(row.rfind('\t') + 1);
    }
    return plan;
  }
  sqlite3* get() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string KelisiOut(const std::vector<std::string>& args) {
  kt::RunResult r = kt::RunKelisi(args);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return r.out;
}

struct Case {
  const char* name;
  Data data;
  std::string golden;  // a reviewed index of tests/golden over `data`; else built with `build`
  std::vector<std::string> build;
};

// Every form the table must read: the other byte order with upper-cased,
// reversed key columns and many equal keys; record numbers with deleted
// records over three deleted-record sectors; byte offsets over
// variable-length records with deleted ones between; keys with bytes of
// 0x80 and above, which SQLite must order as bytes.
std::vector<Case> Cases() {
  kt::Rng rng(7);
  Data var;
  for (int i = 0; i < 300; ++i) {
    var.Rec(rng.Text(i == 150 ? 0 : 2 + rng.Below(30), "QRST"));  // one record of its mark alone
    if (i % 7 == 3) var.Deleted(1 + rng.Below(20));
  }
  return {
      {"foreign", kt::RandomData(200, 12, 2, 0, "\r\n", "abAB"), "foreign", {}},
      {"fixed", kt::RandomData(508, 40, 1, 2), "fixed", {}},
      {"variable", var, "", {"d.txt,d.isi", "-v,1-3"}},
      {"high bytes",
       kt::RandomData(400, 6, 9, 5, "\n", std::string("a\x7f\x80\xe9\xff ", 6)),
       "",
       {"d.txt,d.isi", "-1-3"}},
  };
}

void Make(const Case& c, const TempDir& dir) {
  dir.write("d.txt", c.data.bytes());
  if (!c.golden.empty()) {
    dir.write("d.isi", kt::ReadFileBytes(std::string(KEL_SOURCE_DIR) + "/tests/golden/" + c.golden +
                                         ".isi"));
    return;
  }
  ASSERT_EQ(kt::RunKelindex(c.build, dir.path()).exitCode, 0);
}

// One comparison value: a key of the index as it is, cut short, made
// longer, changed in one byte, or a value of another type.
sqlite3_value* Value(Db& db, const std::vector<std::string>& keys, std::mt19937& rng) {
  std::string v = keys[rng() % keys.size()];
  sqlite3_stmt* st = nullptr;
  std::string sql = "SELECT ?1";
  switch (rng() % 10) {
    case 0:
      v.resize(rng() % v.size());
      break;
    case 1:
      v += std::string(1, "\x00\x01 \xff"[rng() % 4]);
      break;
    case 2:
      v[rng() % v.size()] = "\x00 aB\x80\xff"[rng() % 6];
      break;
    case 3:
      sql = rng() % 2 ? "SELECT NULL" : "SELECT CAST(?1 AS BLOB)";
      break;
    case 4:
      sql = rng() % 2 ? "SELECT 7" : "SELECT -1.5";
      break;
    default:
      break;
  }
  sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &st, nullptr);
  sqlite3_bind_text(st, 1, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  sqlite3_step(st);
  sqlite3_value* out = sqlite3_value_dup(sqlite3_column_value(st, 0));
  sqlite3_finalize(st);
  return out;
}

using kelisi_sqlite::KeyOp;

// The entries the table's walk visits for comparisons of the key with
// `values`: SQLite checks every row again, so only a walk that is exact
// shows that the range visits no more than it must.
std::vector<std::string> Walked(const std::string& isi, const std::vector<KeyOp>& ops,
                                const std::vector<sqlite3_value*>& values, bool descending) {
  kelisi_sqlite::KeyRange range;
  for (size_t i = 0; i < ops.size(); ++i) {
    sqlite3_value* v = values[i];
    if (sqlite3_value_type(v) == SQLITE_TEXT) {
      range.AddText(ops[i], {reinterpret_cast<const char*>(sqlite3_value_text(v)),
                             static_cast<size_t>(sqlite3_value_bytes(v))});
    } else if (sqlite3_value_type(v) == SQLITE_NULL) {
      range.AddNull();
    } else if (sqlite3_value_type(v) == SQLITE_BLOB) {
      range.AddBlob(ops[i]);
    }
  }
  kelisi* ix = nullptr;
  kelisi_cursor* c = nullptr;
  EXPECT_EQ(kelisi_open(isi.c_str(), nullptr, 0, &ix), KELISI_OK);
  EXPECT_EQ(kelisi_cursor_open(ix, &c), KELISI_OK);
  kelisi_header h;
  kelisi_get_header(ix, &h);
  std::vector<std::string> rows;
  kelisi_entry e;
  int st = range.Start(c, h.key_length, descending, &e);
  for (; st == KELISI_OK; st = range.Step(c, descending, &e)) {
    std::string row;
    kelisi_cli::AppendEscaped(&row, e.key, e.key_length);
    rows.push_back(row + '\t' + std::to_string(e.record_offset));
  }
  EXPECT_EQ(st, KELISI_NOTFOUND);
  kelisi_cursor_close(c);
  kelisi_close(ix);
  return rows;
}

TEST(Sqlite, TablesEqualTheDumpAndAnswerKeyComparisonsAsSqliteDoes) {
  using enum KeyOp;
  struct {
    const char* sql;
    std::vector<KeyOp> ops;  // of ?1, ?2, ?3 when the clause is their conjunction
  } kWhere[] = {
      {"key = ?1", {kEq}},
      {"key > ?1", {kGt}},
      {"key >= ?1", {kGe}},
      {"key < ?1", {kLt}},
      {"key <= ?1", {kLe}},
      {"key BETWEEN ?1 AND ?2", {kGe, kLe}},
      {"key > ?1 AND key < ?2", {kGt, kLt}},
      {"key > ?1 AND key >= ?2", {kGt, kGe}},
      {"key >= ?1 AND key <= ?2 AND key > ?3", {kGe, kLe, kGt}},
      {"key <= ?1 AND key < ?2", {kLe, kLt}},
      {"key = ?1 AND key >= ?2", {kEq, kGe}},
      {"key = ?1 OR key = ?2", {}},
      {"key IN (?1, ?2, ?3)", {}},
      {"key >= ?1 AND key < ?2 AND dup = 0", {}},
  };
  std::mt19937 rng(11);
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(Make(c, dir));
    std::vector<std::string> dump =
        Lines(KelisiOut({"dump", dir.file("d.isi"), "--data", dir.file("d.txt")}));
    ASSERT_GT(dump.size(), 50u);
    Db db;
    ASSERT_EQ(db.Exec("CREATE VIRTUAL TABLE t USING kelisi('" + dir.file("d.isi") + "', '" +
                      dir.file("d.txt") + "')"),
              "");
    const std::string cols = "SELECT key, offset, size, dup, record FROM t";
    EXPECT_EQ(db.Rows(cols), dump);
    EXPECT_EQ(db.Rows(cols + " ORDER BY key"), dump);
    std::vector<std::string> down = db.Rows(cols + " ORDER BY key DESC");
    EXPECT_EQ(std::vector<std::string>(down.rbegin(), down.rend()), dump);

    // The same rows in a plain table: SQLite's answer is the oracle.
    ASSERT_EQ(db.Exec("CREATE TABLE ref AS SELECT * FROM t"), "");
    std::vector<std::string> keys;
    for (const std::string& line : dump) {
      std::string key, error;
      ASSERT_TRUE(kelisi_cli::Unescape(line.substr(0, line.find('\t')), &key, &error));
      keys.push_back(key);
    }
    for (int q = 0; q < 300; ++q) {
      const auto& w = kWhere[q % std::size(kWhere)];
      const char* where = w.sql;
      std::vector<sqlite3_value*> params;
      for (int i = 0; i < 3; ++i) {
        // Now and then the value before again: equal bounds, one strict.
        params.push_back(i > 0 && rng() % 4 == 0 ? sqlite3_value_dup(params.back())
                                                 : Value(db, keys, rng));
      }
      bool desc = rng() % 2;
      std::string order = desc ? " ORDER BY key DESC" : " ORDER BY key";
      std::vector<std::string> got = db.Rows(cols + " WHERE " + where + order, params);
      std::vector<std::string> want =
          db.Rows("SELECT key, offset, size, dup, record FROM ref WHERE " + std::string(where) +
                      " ORDER BY key" + (desc ? " DESC, offset DESC" : ", offset"),
                  params);
      EXPECT_EQ(got, want) << where << order;
      bool numbers = false;
      for (sqlite3_value* v : params) {
        numbers |= sqlite3_value_type(v) == SQLITE_INTEGER || sqlite3_value_type(v) == SQLITE_FLOAT;
      }
      if (!w.ops.empty() && !numbers) {
        std::vector<std::string> exact;
        for (const std::string& row : want)
          exact.push_back(row.substr(0, row.find('\t', row.find('\t') + 1)));
        EXPECT_EQ(Walked(dir.file("d.isi"), w.ops, params, desc), exact) << where << order;
      }
      for (sqlite3_value* v : params) sqlite3_value_free(v);
    }
  }
}

TEST(Sqlite, PlansUseTheTreeForKeyComparisonsAndKeyOrder) {
  TempDir dir;
  dir.write("d.txt", kt::RandomData(100, 10, 3).bytes());
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-4"}, dir.path()).exitCode, 0);
  Db db;
  ASSERT_EQ(db.Exec("CREATE VIRTUAL TABLE t USING kelisi('" + dir.file("d.isi") + "')"), "");
  ASSERT_EQ(db.Exec("CREATE TABLE keys(k TEXT)"), "");
  struct {
    std::string query, plan;
  } cases[] = {
      {"SELECT * FROM t", "SCAN t VIRTUAL TABLE INDEX 0:"},
      {"SELECT * FROM t WHERE key = 'ABCD'", "SCAN t VIRTUAL TABLE INDEX 0:="},
      {"SELECT * FROM t WHERE key BETWEEN 'A' AND 'B'", "SCAN t VIRTUAL TABLE INDEX 0:>=,<="},
      {"SELECT * FROM t WHERE key < 'B' ORDER BY key DESC", "SCAN t VIRTUAL TABLE INDEX 1:<"},
      {"SELECT * FROM t ORDER BY key", "SCAN t VIRTUAL TABLE INDEX 0:"},
      {"SELECT * FROM t WHERE offset > 5 ORDER BY key DESC", "SCAN t VIRTUAL TABLE INDEX 1:"},
      {"SELECT * FROM t ORDER BY key COLLATE NOCASE",
       "SCAN t VIRTUAL TABLE INDEX 0:; USE TEMP B-TREE FOR ORDER BY"},
      {"SELECT * FROM t WHERE key = 'abcd' COLLATE NOCASE", "SCAN t VIRTUAL TABLE INDEX 0:"},
      {"SELECT * FROM t ORDER BY key, offset",
       "SCAN t VIRTUAL TABLE INDEX 0:; USE TEMP B-TREE FOR ORDER BY"},
      // Looked up once a key, not one walk per key.
      {"SELECT t.offset FROM keys JOIN t ON t.key = keys.k",
       "SCAN keys; SCAN t VIRTUAL TABLE INDEX 0:="},
  };
  for (const auto& c : cases) EXPECT_EQ(db.Plan(c.query), c.plan) << c.query;
  // The record column is NULL without a data file; the header names d.txt
  // (found beside the index), which a table without one reads.
  ASSERT_EQ(db.Exec("CREATE VIRTUAL TABLE n USING kelisi('" + dir.file("d.isi") + "', '" +
                    dir.file("none.txt") + "')"),
            "kelisi: cannot open the data file: " + dir.file("none.txt"));
  std::string first = KelisiOut({"dump", dir.file("d.isi"), "--data", dir.file("d.txt")});
  first = first.substr(0, first.find('\n'));
  EXPECT_EQ(db.Rows("SELECT key, offset, size, dup, record FROM t LIMIT 1"),
            std::vector<std::string>{first});
  // Names quoted either way, with the quote doubled inside, or not quoted.
  const std::string moved = dir.file("it''s \"moved\".isi");
  ASSERT_EQ(rename(dir.file("d.isi").c_str(), moved.c_str()), 0);
  ASSERT_EQ(rename(dir.file("d.txt").c_str(), dir.file("gone.txt").c_str()), 0);
  ASSERT_EQ(
      db.Exec("CREATE VIRTUAL TABLE m USING kelisi('" + kt::ReplaceAll(moved, "'", "''") + "')"),
      "");
  EXPECT_EQ(db.Rows("SELECT record IS NULL, count(*) FROM m"), std::vector<std::string>{"1\t100"});
  ASSERT_EQ(db.Exec("CREATE VIRTUAL TABLE q USING kelisi(\"" + kt::ReplaceAll(moved, "\"", "\"\"") +
                    "\")"),
            "");
  EXPECT_EQ(db.Rows("SELECT count(*) FROM q"), std::vector<std::string>{"100"});
  ASSERT_EQ(rename(moved.c_str(), dir.file("plain.isi").c_str()), 0);
  ASSERT_EQ(db.Exec("CREATE VIRTUAL TABLE p USING kelisi(" + dir.file("plain.isi") + ", " +
                    dir.file("gone.txt") + ")"),
            "");
  EXPECT_EQ(db.Rows("SELECT count(*), count(record) FROM p"), std::vector<std::string>{"100\t100"});
}

TEST(Sqlite, FailuresFailTheStatementWithTheLibrarysText) {
  TempDir dir;
  Data data = kt::RandomData(400, 10, 5, 4);
  dir.write("d.txt", data.bytes());
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-4"}, dir.path()).exitCode, 0);
  std::string isi = dir.read("d.isi");
  // A key sector below the root with a count byte past what a sector holds.
  std::string damaged = isi;
  damaged[2048 + 3 * 512 + 500] = static_cast<char>(200);
  dir.write("bad.isi", damaged);
  dir.write("short.isi", isi.substr(0, isi.size() - 512));
  dir.write("text.isi", std::string(4096, 'x'));
  std::string cut = data.bytes().substr(0, data.bytes().size() / 2);
  dir.write("cut.txt", cut);
  Db db;
  auto create = [&](const std::string& name, const std::string& args) {
    return db.Exec("CREATE VIRTUAL TABLE " + name + " USING kelisi(" + args + ")");
  };
  const std::string kUsage =
      "kelisi: usage: CREATE VIRTUAL TABLE name USING kelisi(index[,index...] [, data] [, shared] "
      "[, write])";
  struct {
    std::string args, message;
  } refused[] = {
      {"", kUsage},
      {"'a.isi', 'b', 'c'", kUsage},
      {"'" + dir.file("none.isi") + "'",
       "kelisi: cannot open the index file: " + dir.file("none.isi")},
      {"'" + dir.file("text.isi") + "'", "kelisi: not an ISI index file: " + dir.file("text.isi")},
  };
  for (const auto& r : refused) EXPECT_EQ(create("r", r.args), r.message) << r.args;

  // The walk that meets the damage fails; a lookup elsewhere in the tree does not.
  ASSERT_EQ(create("bad", "'" + dir.file("bad.isi") + "'"), "");
  ASSERT_EQ(create("good", "'" + dir.file("d.isi") + "'"), "");
  std::string error;
  db.Rows("SELECT count(*) FROM bad", &error);
  EXPECT_EQ(error, "kelisi: the index is damaged: " + dir.file("bad.isi"));
  EXPECT_EQ(sqlite3_errcode(db.get()), SQLITE_ERROR);
  const std::string first = "(SELECT min(key) FROM good)";
  EXPECT_EQ(db.Rows("SELECT offset FROM bad WHERE key = " + first),
            db.Rows("SELECT offset FROM good WHERE key = " + first));
  ASSERT_EQ(create("short", "'" + dir.file("short.isi") + "'"), "");
  error.clear();
  db.Rows("SELECT * FROM short ORDER BY key DESC", &error);
  EXPECT_NE(error.find(dir.file("short.isi")), std::string::npos) << error;
  // Records past the end of a data file cut short.
  ASSERT_EQ(create("cut", "'" + dir.file("d.isi") + "', '" + dir.file("cut.txt") + "'"), "");
  error.clear();
  db.Rows("SELECT record FROM cut", &error);
  EXPECT_EQ(error, "kelisi: cannot read the record from the data file: " + dir.file("cut.txt"));
  EXPECT_EQ(db.Rows("SELECT count(*) FROM cut"), std::vector<std::string>{"301"});

  // Shared locking reads through the locks kelindex's compaction takes.
  ASSERT_EQ(create("s", "'" + dir.file("d.isi") + "', SHARED"), "");
  EXPECT_EQ(db.Rows("SELECT count(*), sum(record IS NULL) FROM s"),
            std::vector<std::string>{"301\t0"});
  EXPECT_EQ(create("s2", "'" + dir.file("d.isi") + "', '" + dir.file("none.txt") + "', shared"),
            "kelisi: cannot open the data file: " + dir.file("none.txt"));
  // Writes: refused without `write`, and what a write may not give.
  const std::string readOnly = "kelisi: the index is not open for update: " + dir.file("d.isi");
  EXPECT_EQ(db.Exec("DELETE FROM s"), readOnly);
  EXPECT_EQ(db.Exec("INSERT INTO s(record) VALUES ('x')"), readOnly);
  ASSERT_EQ(create("w", "'" + dir.file("d.isi") + "', '" + dir.file("d.txt") + "', write"), "");
  ASSERT_EQ(create("w2", "'" + dir.file("d.isi") + "', write, '" + dir.file("d.txt") + "'"), "");
  const std::string onlyRecord =
      "kelisi: only the record can be written: its key, offset, size and dup follow from it";
  EXPECT_EQ(db.Exec("INSERT INTO w(key, record) VALUES ('x', 'y')"), onlyRecord);
  EXPECT_EQ(db.Exec("UPDATE w SET dup = 1"), onlyRecord);
  EXPECT_EQ(db.Exec("INSERT INTO w(offset) VALUES (1)"), onlyRecord);
  EXPECT_EQ(db.Exec("INSERT INTO w(record) VALUES (NULL)"),
            "kelisi: a record to write is needed (the record column)");
  EXPECT_EQ(db.Exec("INSERT INTO w(rowid, record) VALUES (5, 'abcd')"),
            "kelisi: a row's rowid is its record's offset, which the insert decides");
  EXPECT_EQ(db.Exec("INSERT INTO w(record) VALUES ('" + std::string(40, 'x') + "')"),
            "kelisi: the record is longer than the index's records: " + dir.file("d.isi"));
  EXPECT_EQ(db.Exec("BEGIN; INSERT INTO w(record) VALUES ('abcd');"
                    "INSERT INTO w2(record) VALUES ('abce')"),
            "kelisi: another kelisi table is written in this transaction; one kelisi table can "
            "be written per transaction (a table over several indexes of one data file, "
            "kelisi('a.isi,b.isi', ...), writes them all)");
  EXPECT_EQ(db.Exec("ROLLBACK"), "");
  EXPECT_EQ(dir.read("d.txt"), data.bytes());
}

// A table over several indexes of one data file: each transaction's
// writes, savepoints rolled back included, are one change over all of
// them, each index then what a build over the data gives it (kelisi check
// with the data proves it); what cannot be one change is refused.
TEST(Sqlite, ATableOverSeveralIndexesKeepsEachCurrent) {
  TempDir dir;
  Data data;
  for (int i = 0; i < 20; ++i) {
    data.Rec("K" + std::to_string(100 + i) + " " + std::string(1, static_cast<char>('a' + i % 7)) +
             "word " + std::string(1, i % 3 == 0 ? 'A' : 'B'));
  }
  dir.write("d.txt", data.bytes());
  dir.write("o.txt", data.bytes());
  const std::vector<std::vector<std::string>> builds = {
      {"d.txt,a.isi", "-1-4"}, {"d.txt,b.isi", "-u,6-10"}, {"d.txt,c.isi", "-p12=A,1-4"},
      {"o.txt,o.isi", "-1-4"}};
  for (const auto& b : builds) ASSERT_EQ(kt::RunKelindex(b, dir.path()).exitCode, 0) << b[0];
  Db db;
  std::string isis = dir.file("a.isi") + "," + dir.file("b.isi") + "," + dir.file("c.isi");
  ASSERT_EQ(db.Exec("CREATE VIRTUAL TABLE t USING kelisi('" + isis + "', '" + dir.file("d.txt") +
                    "', write)"),
            "");
  EXPECT_EQ(db.Exec("BEGIN; INSERT INTO t(record) VALUES ('K200 zword A'), ('K201 yword B');"
                    "SAVEPOINT s; INSERT INTO t(record) VALUES ('K202 xword A');"
                    "DELETE FROM t WHERE key = 'K100'; ROLLBACK TO s;"
                    "DELETE FROM t WHERE key = 'K101'; COMMIT"),
            "");
  // Read through b.isi: the records the writes through a.isi gave it.
  ASSERT_EQ(db.Exec("CREATE VIRTUAL TABLE b USING kelisi('" + dir.file("b.isi") + "')"), "");
  EXPECT_EQ(db.Rows("SELECT key FROM b WHERE key >= 'Y'"),
            (std::vector<std::string>{"YWORD", "ZWORD"}));
  EXPECT_EQ(db.Rows("SELECT count(*) FROM b WHERE key = 'BWORD'"),
            std::vector<std::string>{"2"});  // K101 is gone from every index
  EXPECT_EQ(db.Rows("SELECT substr(record, 1, 4) FROM t WHERE key >= 'K2'"),
            (std::vector<std::string>{"K200", "K201"}));
  EXPECT_EQ(db.Exec("DROP TABLE t; DROP TABLE b"), "");
  for (const char* isi : {"a.isi", "b.isi", "c.isi"}) {
    kt::RunResult r = kt::RunKelisi({"check", isi, "d.txt"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << isi << r.out;
  }
  std::string before = dir.read("d.txt") + dir.read("a.isi") + dir.read("o.isi");
  EXPECT_EQ(db.Exec("CREATE VIRTUAL TABLE n USING kelisi('" + dir.file("a.isi") + "," +
                    dir.file("b.isi") + "', '" + dir.file("d.txt") + "')"),
            "kelisi: the other indexes a table names are kept current by its writes: name them "
            "with write");
  EXPECT_EQ(db.Exec("CREATE VIRTUAL TABLE x USING kelisi('" + dir.file("a.isi") + "," +
                    dir.file("o.isi") + "', '" + dir.file("d.txt") + "', write)"),
            "kelisi: " + std::string(kelisi_strerror(KELISI_E_DATA_OTHER)) + ": " +
                dir.file("o.isi"));
  EXPECT_EQ(dir.read("d.txt") + dir.read("a.isi") + dir.read("o.isi"), before);
}

// A table's files by their absolute names, kept at CREATE: the database
// works from another directory.
TEST(Sqlite, ATableFindsItsFilesFromAnotherDirectory) {
  TempDir dir;
  dir.write("a/d.txt", kt::RandomData(50, 10, 3).bytes());
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-4"}, dir.file("a")).exitCode, 0);
  ASSERT_EQ(mkdir(dir.file("b").c_str(), 0755), 0);
  std::string cwd(4096, '\0');
  ASSERT_NE(getcwd(cwd.data(), cwd.size()), nullptr);
  ASSERT_EQ(chdir(dir.file("a").c_str()), 0);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("a/t.db").c_str(), &raw), SQLITE_OK);
  sqlite3_close(raw);
  {
    Db db;
    EXPECT_EQ(db.Exec("ATTACH '" + dir.file("a/t.db") + "' AS f;"
                      "CREATE VIRTUAL TABLE f.t USING kelisi(d.isi, d.txt, write);"
                      "CREATE VIRTUAL TABLE f.u USING kelisi('d.isi');"
                      "ALTER TABLE f.u RENAME TO w; ALTER TABLE f.w RENAME TO v"),
              "");
  }
  ASSERT_EQ(chdir(dir.file("b").c_str()), 0);
  {
    Db db;
    EXPECT_EQ(db.Exec("ATTACH '" + dir.file("a/t.db") + "' AS f"), "");
    EXPECT_EQ(db.Rows("SELECT count(*), count(record) FROM f.t"),
              std::vector<std::string>{"50\t50"});
    EXPECT_EQ(db.Rows("SELECT count(*), count(record) FROM f.v"),
              std::vector<std::string>{"50\t50"});
    EXPECT_EQ(db.Exec("INSERT INTO f.t(record) VALUES ('zzzz new')"), "");
    EXPECT_EQ(db.Exec("DROP TABLE f.t; DROP TABLE f.v"), "");
    EXPECT_EQ(db.Rows("SELECT count(*) FROM f.sqlite_master"), std::vector<std::string>{"0"});
  }
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(kt::ListDirectory(dir.file("b")), std::vector<std::string>{});
  EXPECT_NE(dir.read("a/d.txt").find("zzzz new"), std::string::npos);
}

// Random transactions of inserts (several rows a statement, some of which
// fail it), deletes by key, savepoints rolled back or released, commits
// and rollbacks, against a model of the live records: after each
// transaction the table holds the model's records, and at the end the
// check finds index and data file consistent and a rebuild agrees.
TEST(Sqlite, WritesInTransactionsFollowAModelOfTheDataFile) {
  struct Form {
    const char* name;
    std::vector<std::string> build;
    bool unique;  // n: a key held already fails the statement
  } forms[] = {{"fixed, no duplicates", {"d.txt,d.isi", "-n,1-3"}, true},
               {"variable, duplicates", {"d.txt,d.isi", "-v,1-3"}, false}};
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      SCOPED_TRACE(seed);
      std::mt19937 rng(seed);
      TempDir dir;
      // Unique keys to start with: "aaa".."ccc", every other one.
      struct Rec {
        std::string text;
        int id;
      };
      std::vector<Rec> live;
      int ids = 0;
      std::string data;
      auto keyOf = [](int i) { return std::string{"abc"[i / 9], "abc"[i / 3 % 3], "abc"[i % 3]}; };
      auto body = [&](const std::string& key) {
        std::string b = key + " ";
        for (size_t n = rng() % 12; n > 0; --n) b += "xyz01"[rng() % 5];
        return b + "." ;
      };
      for (int i = 0; i < 27; i += 2) {
        live.push_back({body(keyOf(i)), ids++});
        data += live.back().text + std::string(form.unique ? 19 - live.back().text.size() : 0, ' ') +
                "\n";
      }
      dir.write("d.txt", data);
      ASSERT_EQ(kt::RunKelindex(form.build, dir.path()).exitCode, 0);
      Db db;
      ASSERT_EQ(db.Exec("CREATE VIRTUAL TABLE t USING kelisi('" + dir.file("d.isi") + "', '" +
                        dir.file("d.txt") + "', write)"),
                "");
      auto trimmed = [](std::string s) {
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
      };
      for (int txn = 0; txn < 25; ++txn) {
        std::vector<Rec> base = live, now = live;
        std::vector<std::vector<Rec>> saved;
        ASSERT_EQ(db.Exec("BEGIN"), "");
        for (int op = rng() % 8; op >= 0; --op) {
          switch (rng() % 6) {
            case 0:
            case 1: {  // an insert of 1 to 3 rows, the last maybe refused
              std::vector<Rec> rows;
              bool fails = false;
              std::string sql = "INSERT INTO t(record) VALUES ";
              for (int n = 1 + rng() % 3; n > 0; --n) {
                std::string text = body(keyOf(rng() % 27));
                if (n == 1 && rng() % 5 == 0) {
                  text = form.unique ? text + std::string(20, 'y') : text + "\nnext";
                  fails = true;
                }
                for (const Rec& r : now) fails |= form.unique && r.text.substr(0, 3) == text.substr(0, 3);
                for (const Rec& r : rows) fails |= form.unique && r.text.substr(0, 3) == text.substr(0, 3);
                rows.push_back({text, ids++});
                sql += std::string(rows.size() > 1 ? "," : "") + "('" + text + "')";
              }
              std::string error = db.Exec(sql);
              EXPECT_EQ(error.empty(), !fails) << sql << ": " << error;
              if (!fails) now.insert(now.end(), rows.begin(), rows.end());
              break;
            }
            case 2: {  // a delete by key: of the records the transaction began with
              std::string key = keyOf(rng() % 27);
              ASSERT_EQ(db.Exec("DELETE FROM t WHERE key = '" + key + "'"), "");
              std::erase_if(now, [&](const Rec& r) {
                return r.text.substr(0, 3) == key &&
                       std::any_of(base.begin(), base.end(), [&](const Rec& b) { return b.id == r.id; });
              });
              break;
            }
            case 3:
              ASSERT_EQ(db.Exec("SAVEPOINT s" + std::to_string(saved.size())), "");
              saved.push_back(now);
              break;
            case 4:
              if (saved.empty()) break;
              ASSERT_EQ(db.Exec("ROLLBACK TO s" + std::to_string(saved.size() - 1)), "");
              now = saved.back();
              break;
            default:
              if (saved.empty()) break;
              ASSERT_EQ(db.Exec("RELEASE s" + std::to_string(saved.size() - 1)), "");
              saved.pop_back();
              break;
          }
        }
        bool commit = rng() % 4 != 0;
        ASSERT_EQ(db.Exec(commit ? "COMMIT" : "ROLLBACK"), "");
        if (commit) live = now;
        std::vector<std::string> want, got = db.Rows("SELECT record FROM t");
        for (const Rec& r : live) want.push_back(r.text);
        for (std::string& g : got) g = trimmed(g);
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, want) << "after transaction " << txn;
      }
      kt::RunResult check = kt::RunKelisi({"check", dir.file("d.isi"), dir.file("d.txt")});
      EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
      std::vector<std::string> dump = Lines(KelisiOut({"dump", dir.file("d.isi")}));
      ASSERT_EQ(kt::RunKelindex({"d.isi", "-r"}, dir.path()).exitCode, 0);
      std::vector<std::string> rebuilt = Lines(KelisiOut({"dump", dir.file("d.isi")}));
      auto keyAndOffset = [](std::vector<std::string> lines) {
        for (std::string& l : lines) l = l.substr(0, l.find('\t', l.find('\t') + 1));
        std::sort(lines.begin(), lines.end());
        return lines;
      };
      EXPECT_EQ(keyAndOffset(dump), keyAndOffset(rebuilt));
    }
  }
}

}  // namespace
