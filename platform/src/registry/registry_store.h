// Storage of the registry hives: one SQLite file per hive, one transaction per change.
// Internal to libnxpal; the Win32 functions (registry.cpp) sit on top of registry_ops.h.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "nxpal/errors.h"
#include "nxpal/registry.h"
#include "nxpal/types.h"

namespace nxpal {

enum class HiveId { Machine = 0, User = 1 };

// Row id of the hive's root key (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER itself).
inline constexpr int64_t kRootKey = 1;

// Now, in FILETIME units (100 ns since 1601-01-01 UTC).
int64_t NowFileTime();
FILETIME ToFileTime(int64_t t);

// The file behind a hive: $NX_REGISTRY_DIR/{machine,user}.db when set, otherwise
// /var/lib/veltrak/machine.db and ${XDG_CONFIG_HOME:-~/.config}/veltrak/user.db.
std::string HivePath(HiveId id);

// Win32 code for an SQLite result code.
LONG FromSqlite(int rc);

// One hive file and this process's connection to it. The connection is opened on first
// use; for reading, a hive whose file does not exist is an empty hive and nothing is
// created. `mu` guards the connection and its statements and is held by a Txn for the
// whole transaction, so that threads of one process never interleave inside one;
// other processes are kept out by SQLite's file locks (busy timeout of 10 s).
class Hive {
 public:
  explicit Hive(std::string path) : path_(std::move(path)) {}
  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  const std::string& Path() const { return path_; }
  // Whether this user may change the hive: the file (or, while it does not exist yet,
  // the nearest existing folder on its path) and the folder of the file are writable.
  bool Writable() const;

 private:
  friend class Txn;
  // Opens the connection. With create the folder and file are created when missing;
  // otherwise a missing file leaves db_ null (an empty hive). Called with mu_ held.
  LONG Open(bool create);
  // Creates the tables and the root key when they are missing (inside a write txn).
  LONG EnsureSchema();
  sqlite3_stmt* Statement(const char* sql, LONG& rc);
  // Runs a cached statement that returns no rows (BEGIN, COMMIT, ROLLBACK).
  LONG Run(const char* sql);
  // Changes whenever the file's content changes, by this connection or another; read
  // while a transaction holds the file's lock.
  unsigned DataVersion();
  void Drop();

  // Where the last walk of a key's subkeys stopped: index and folded name of the subkey
  // handed out, and the data version then. The next index continues from that name
  // while the version is unchanged, instead of counting from the first subkey again.
  struct ChildCursor {
    int64_t parent = 0;
    DWORD index = 0;
    std::u16string folded;
    unsigned version = 0;
  };
  static constexpr size_t kCursors = 8;

  std::mutex mu_;
  std::string path_;
  sqlite3* db_ = nullptr;
  bool readOnly_ = false;  // the file could be opened for reading only
  bool schemaReady_ = false;  // tables known to exist on this connection
  int pid_ = 0;  // process that opened db_ (a forked child opens its own)
  std::map<const char*, sqlite3_stmt*> stmts_;  // keyed by the SQL text's address
  std::vector<ChildCursor> cursors_;  // most recently used last
};

// The hive that a predefined key names now (follows changes of NX_REGISTRY_DIR).
std::shared_ptr<Hive> CurrentHive(HiveId id);

// A value as stored.
struct Value {
  std::u16string name;
  DWORD type = REG_NONE;
  std::string data;
};

// Sizes reported by RegQueryInfoKey.
struct KeyInfo {
  DWORD subKeys = 0;
  DWORD maxSubKeyLen = 0;  // characters, without the terminator
  DWORD values = 0;
  DWORD maxValueNameLen = 0;  // characters, without the terminator
  DWORD maxValueLen = 0;  // bytes
  int64_t written = 0;
};

// One transaction on one hive, holding the hive's lock from Begin to the destructor.
// Inside this thread's read scope on the hive (BeginReadScope) a read joins the scope's
// transaction, begun by the scope's first read and ended by EndReadScope, and a change
// ends that transaction first (the scope's next read begins a new one).
// A change is BEGIN IMMEDIATE (the file's write lock is taken at once, so two writers
// queue on the busy timeout instead of failing at commit); a transaction not committed
// is rolled back by the destructor. Names passed in are as written; folding for
// comparison happens here. On an absent hive (file missing and not to be created) only
// the root exists, with nothing in it. On a hive this user may only read, lookups work
// and every change fails with ERROR_ACCESS_DENIED.
class Txn {
 public:
  enum class Mode {
    Read,  // a consistent snapshot for several queries
    Change,  // changes to what exists: a missing file stays missing
    Create,  // may add keys: the folder and file are created when missing
  };
  Txn(Hive& hive, Mode mode);
  ~Txn();
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;

  LONG Begin();
  LONG Commit();

  // This thread's read scope: one read transaction on `hive`, held with the hive's lock
  // (other threads of the process wait for that hive) until the matching EndReadScope.
  // Scopes on one hive nest; ERROR_BUSY while this thread holds one on another hive.
  static LONG BeginReadScope(std::shared_ptr<Hive> hive);
  static void EndReadScope();

  // 0 when the key row exists, ERROR_KEY_DELETED otherwise.
  LONG CheckKey(int64_t key);
  // Child of parent by name: 0 with *child set, or ERROR_FILE_NOT_FOUND.
  LONG FindChild(int64_t parent, std::u16string_view name, int64_t* child);
  LONG CreateChild(int64_t parent, std::u16string_view name, int64_t* child);
  LONG HasChildren(int64_t key, bool* any);
  // index-th subkey in order of the folded names; ERROR_NO_MORE_ITEMS past the end.
  LONG NthChild(int64_t key, DWORD index, std::u16string* name, int64_t* written);
  LONG GetValue(int64_t key, std::u16string_view name, Value* out);
  // index-th value in creation order; ERROR_NO_MORE_ITEMS past the end.
  LONG NthValue(int64_t key, DWORD index, Value* out);
  // All subkey names and all values (for lengths counted in UTF-8).
  LONG ListChildren(int64_t key, std::vector<std::u16string>* names);
  LONG ListValues(int64_t key, std::vector<Value>* values);
  LONG Info(int64_t key, KeyInfo* info);
  // Inserts or overwrites; an overwritten value keeps its place and the case of its name.
  LONG SetValue(int64_t key, std::u16string_view name, DWORD type, const BYTE* data, DWORD cb);
  LONG DeleteValue(int64_t key, std::u16string_view name);
  // Deletes a key without subkeys and its values; the caller checked for subkeys.
  LONG DeleteKey(int64_t key);
  LONG ParentOf(int64_t key, int64_t* parent);
  // Sets the key's last-write time to now.
  LONG Touch(int64_t key);

 private:
  sqlite3_stmt* Prepare(const char* sql, LONG& rc) { return hive_.Statement(sql, rc); }

  LONG Open();  // Begin outside a scope's transaction
  static void EndScopeTransaction();
  LONG Mutable() const { return readOnly_ ? static_cast<LONG>(ERROR_ACCESS_DENIED) : 0; }

  Hive& hive_;
  Mode mode_;
  std::unique_lock<std::mutex> lock_;
  bool scoped_ = false;  // this thread's read scope holds the hive's lock
  bool active_ = false;  // BEGIN done, not yet committed
  bool absent_ = false;  // the hive's file does not exist
  bool readOnly_ = false;  // a change on a hive this user may only read
};

}  // namespace nxpal
