// Storage of the registry hives in SQLite: connection, schema, transactions and the
// queries behind every registry function.
//
// Journal: the classic rollback journal, not WAL. A WAL database needs its -shm file
// to be writable even for readers, so a user who may only read the machine hive (file
// and folder owned by root) could not open it; with the rollback journal a reader needs
// read access to the file only. A writer killed in the middle of a change leaves a hot
// journal, and the next connection that can write rolls the change back.
//
// Names are kept as written in `name` and in upper case (nx::UpperCase) in `folded`,
// which the unique indexes and lookups use. The database text encoding is UTF-16
// big-endian, so that SQLite's binary collation orders folded names by UTF-16 code
// units, as the registry of Windows orders subkeys.
#include "registry/registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "nxpal/text.h"

namespace nxpal {

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;

// Connections inherited through fork belong to the parent: the child never closes or
// uses them (closing would disturb the file locks SQLite tracks per process); they are
// parked here so that they stay reachable.
std::mutex g_abandonedMu;
std::vector<sqlite3*>* g_abandoned = new std::vector<sqlite3*>;

// A prepared statement in use: binds, steps, reads columns, and resets on scope exit
// (the statement stays cached in the hive).
class Query {
 public:
  explicit Query(sqlite3_stmt* s) : s_(s) {}
  ~Query() {
    if (s_) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Int(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  // Text stays owned by the caller until the statement is reset.
  Query& Text(int i, std::u16string_view v) {
    sqlite3_bind_text16(s_, i, v.empty() ? u"" : v.data(), static_cast<int>(v.size() * 2), SQLITE_STATIC);
    return *this;
  }
  Query& Blob(int i, const void* p, size_t n) {
    static const char kEmpty = 0;  // a null pointer would bind NULL, not an empty blob
    sqlite3_bind_blob64(s_, i, n ? p : &kEmpty, n, SQLITE_STATIC);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(s_); }

  int64_t ColInt(int i) { return sqlite3_column_int64(s_, i); }
  bool ColNull(int i) { return sqlite3_column_type(s_, i) == SQLITE_NULL; }
  std::u16string ColText(int i) {
    auto* p = static_cast<const char16_t*>(sqlite3_column_text16(s_, i));
    int n = sqlite3_column_bytes16(s_, i);
    return p ? std::u16string(p, static_cast<size_t>(n) / 2) : std::u16string();
  }
  std::string ColBlob(int i) {
    auto* p = static_cast<const char*>(sqlite3_column_blob(s_, i));
    int n = sqlite3_column_bytes(s_, i);
    return p ? std::string(p, static_cast<size_t>(n)) : std::string();
  }

 private:
  sqlite3_stmt* s_;
};

std::string ParentDir(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// mkdir -p with mode 0755; 0 or the errno of the failing step.
int MakeDirs(const std::string& dir) {
  if (dir.empty() || Exists(dir)) return 0;
  if (int e = MakeDirs(ParentDir(dir)); e != 0) return e;
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  return 0;
}

}  // namespace

int64_t NowFileTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  constexpr int64_t kEpochDelta = 11644473600LL;  // seconds from 1601 to 1970
  return (static_cast<int64_t>(ts.tv_sec) + kEpochDelta) * 10000000LL + ts.tv_nsec / 100;
}

FILETIME ToFileTime(int64_t t) {
  auto u = static_cast<uint64_t>(t);
  return FILETIME{static_cast<DWORD>(u & 0xFFFFFFFFu), static_cast<DWORD>(u >> 32)};
}

std::string HivePath(HiveId id) {
  const char* dir = std::getenv("NX_REGISTRY_DIR");
  if (dir && *dir) return std::string(dir) + (id == HiveId::Machine ? "/machine.db" : "/user.db");
  if (id == HiveId::Machine) return "/var/lib/veltrak/machine.db";
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* pw = getpwuid(geteuid());
      home = pw ? pw->pw_dir : "/";
    }
    base = std::string(home) + "/.config";
  }
  return base + "/veltrak/user.db";
}

LONG FromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
    case SQLITE_CONSTRAINT: return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT: return ERROR_REGISTRY_CORRUPT;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

// ---- Hive ------------------------------------------------------------------------------

Hive::~Hive() { Drop(); }

void Hive::Drop() {
  if (!db_) return;
  if (pid_ != getpid()) {
    std::lock_guard<std::mutex> g(g_abandonedMu);
    g_abandoned->push_back(db_);
  } else {
    for (auto& [sql, stmt] : stmts_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
  }
  stmts_.clear();
  cursors_.clear();
  db_ = nullptr;
  readOnly_ = false;
  schemaReady_ = false;
}

bool Hive::Writable() const {
  std::string dir = ParentDir(path_);
  if (Exists(path_))
    return faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) == 0 &&
           faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  while (dir != "/" && !Exists(dir)) dir = ParentDir(dir);
  return faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

LONG Hive::Open(bool create) {
  if (db_ && pid_ != getpid()) Drop();
  if (db_) return ERROR_SUCCESS;
  if (!Exists(path_)) {
    if (!create) return ERROR_SUCCESS;  // an empty hive
    int e = MakeDirs(ParentDir(path_));
    if (e == EACCES || e == EROFS || e == EPERM) return ERROR_ACCESS_DENIED;
    if (e != 0) return ERROR_REGISTRY_IO_FAILED;
  }
  // Without write permission SQLite falls back to opening the file for reading.
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path_.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    if (rc == SQLITE_CANTOPEN && !create && !Exists(path_)) return ERROR_SUCCESS;  // removed meanwhile
    return FromSqlite(rc);
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // The encoding only takes effect on a new, empty file; foreign keys make the values
  // of a deleted key go with it.
  rc = sqlite3_exec(db, "PRAGMA encoding='UTF-16be'; PRAGMA foreign_keys=ON;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return FromSqlite(rc);
  }
  db_ = db;
  pid_ = getpid();
  readOnly_ = sqlite3_db_readonly(db_, "main") == 1;
  schemaReady_ = false;
  return ERROR_SUCCESS;
}

LONG Hive::EnsureSchema() {
  std::string sql =
      "CREATE TABLE IF NOT EXISTS keys("
      " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a stale handle cannot hit a new key
      " parent INTEGER REFERENCES keys(id),"  // NULL for the root only
      " name TEXT NOT NULL,"
      " folded TEXT NOT NULL,"
      " written INTEGER NOT NULL,"  // last write, FILETIME units
      " UNIQUE(parent, folded));"
      "CREATE TABLE IF NOT EXISTS vals("
      " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // creation order
      " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
      " name TEXT NOT NULL,"
      " folded TEXT NOT NULL,"
      " type INTEGER NOT NULL,"
      " data BLOB NOT NULL,"
      " UNIQUE(key, folded));"
      "CREATE INDEX IF NOT EXISTS vals_in_order ON vals(key, id);"
      "INSERT OR IGNORE INTO keys(id, parent, name, folded, written) VALUES(1, NULL, '', '', " +
      std::to_string(NowFileTime()) + ");PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return FromSqlite(rc);
  schemaReady_ = true;
  return ERROR_SUCCESS;
}

sqlite3_stmt* Hive::Statement(const char* sql, LONG& err) {
  auto it = stmts_.find(sql);
  if (it != stmts_.end()) return it->second;
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
  if (rc != SQLITE_OK) {
    err = FromSqlite(rc);
    return nullptr;
  }
  stmts_.emplace(sql, s);
  return s;
}

LONG Hive::Run(const char* sql) {
  LONG rc = 0;
  sqlite3_stmt* s = Statement(sql, rc);
  if (!s) return rc;
  Query q(s);
  int step = q.Step();
  return step == SQLITE_DONE || step == SQLITE_ROW ? ERROR_SUCCESS : FromSqlite(step);
}

unsigned Hive::DataVersion() {
  unsigned version = 0;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &version);
  return version;
}

std::shared_ptr<Hive> CurrentHive(HiveId id) {
  // Leaked on purpose: registry calls from threads still running at exit stay safe.
  static std::mutex* mu = new std::mutex;
  static auto* current = new std::shared_ptr<Hive>[2];
  std::string path = HivePath(id);
  std::lock_guard<std::mutex> g(*mu);
  auto& slot = current[static_cast<int>(id)];
  if (!slot || slot->Path() != path) slot = std::make_shared<Hive>(std::move(path));
  return slot;
}

// ---- Txn -------------------------------------------------------------------------------

namespace {

// This thread's read scope: the hive whose lock it holds, how deeply scopes nest, and
// the state of its transaction.
struct ReadScope {
  std::shared_ptr<Hive> hive;
  std::unique_lock<std::mutex> lock;
  int depth = 0;
  bool begun = false;  // the scope's first read has begun its transaction
  bool open = false;  // BEGIN done on the connection (not on an absent hive)
  bool absent = false;  // the hive's file did not exist then
};

thread_local ReadScope t_scope;

}  // namespace

Txn::Txn(Hive& hive, Mode mode)
    : hive_(hive), mode_(mode), lock_(hive.mu_, std::defer_lock), scoped_(t_scope.hive.get() == &hive) {
  if (!scoped_) lock_.lock();
}

Txn::~Txn() {
  if (active_) hive_.Run("ROLLBACK");
}

LONG Txn::Begin() {
  if (!scoped_) return Open();
  if (mode_ != Mode::Read) {
    EndScopeTransaction();
    return Open();
  }
  if (!t_scope.begun) {
    if (LONG rc = Open()) return rc;  // the destructor rolls back what was begun
    t_scope.begun = true;
    t_scope.open = active_;
    t_scope.absent = absent_;
    active_ = false;  // the scope ends it
  }
  absent_ = t_scope.absent;
  return ERROR_SUCCESS;
}

LONG Txn::Open() {
  if (LONG rc = hive_.Open(mode_ == Mode::Create)) return rc;
  if (!hive_.db_) {
    absent_ = true;
    return ERROR_SUCCESS;
  }
  readOnly_ = mode_ != Mode::Read && hive_.readOnly_;
  bool write = mode_ != Mode::Read && !readOnly_;
  if (LONG rc = hive_.Run(write ? "BEGIN IMMEDIATE" : "BEGIN")) return rc;
  active_ = true;
  if (hive_.schemaReady_) return ERROR_SUCCESS;
  if (write) return hive_.EnsureSchema();
  // Reading a file whose tables are not there yet (a creator has not committed): empty.
  LONG rc = 0;
  Query q(Prepare("SELECT count(*) FROM sqlite_schema WHERE name IN ('keys','vals')", rc));
  if (rc) return rc;
  int step = q.Step();
  if (step != SQLITE_ROW) return FromSqlite(step);
  if (q.ColInt(0) == 2) hive_.schemaReady_ = true;
  else absent_ = true;
  return ERROR_SUCCESS;
}

LONG Txn::Commit() {
  if (!active_) return ERROR_SUCCESS;
  LONG rc = hive_.Run("COMMIT");
  if (rc == ERROR_SUCCESS) active_ = false;
  return rc;  // on failure the destructor rolls back
}

void Txn::EndScopeTransaction() {
  // A read transaction has nothing to keep: a failed COMMIT is rolled back.
  if (t_scope.open && t_scope.hive->db_ && t_scope.hive->Run("COMMIT") != ERROR_SUCCESS)
    t_scope.hive->Run("ROLLBACK");
  t_scope.begun = t_scope.open = t_scope.absent = false;
}

LONG Txn::BeginReadScope(std::shared_ptr<Hive> hive) {
  if (t_scope.depth > 0) {
    if (t_scope.hive != hive) return ERROR_BUSY;
    ++t_scope.depth;
    return ERROR_SUCCESS;
  }
  t_scope.lock = std::unique_lock<std::mutex>(hive->mu_);
  t_scope.hive = std::move(hive);
  t_scope.depth = 1;
  return ERROR_SUCCESS;
}

void Txn::EndReadScope() {
  if (t_scope.depth == 0 || --t_scope.depth > 0) return;
  EndScopeTransaction();
  t_scope.lock.unlock();
  t_scope.lock = {};
  t_scope.hive.reset();
}

// Runs a statement that returns no rows.
#define NX_RUN(q)                                   \
  do {                                              \
    int step_ = (q).Step();                         \
    if (step_ != SQLITE_DONE && step_ != SQLITE_ROW) \
      return FromSqlite(step_);                     \
  } while (0)

#define NX_PREPARE(var, sql)           \
  LONG prc_ = 0;                       \
  sqlite3_stmt* st_ = Prepare(sql, prc_); \
  if (!st_) return prc_;               \
  Query var(st_)

LONG Txn::CheckKey(int64_t key) {
  if (absent_) return key == kRootKey ? ERROR_SUCCESS : ERROR_KEY_DELETED;
  NX_PREPARE(q, "SELECT 1 FROM keys WHERE id=?1");
  q.Int(1, key);
  int step = q.Step();
  if (step == SQLITE_ROW) return ERROR_SUCCESS;
  return step == SQLITE_DONE ? ERROR_KEY_DELETED : FromSqlite(step);
}

LONG Txn::FindChild(int64_t parent, std::u16string_view name, int64_t* child) {
  if (absent_) return ERROR_FILE_NOT_FOUND;
  std::u16string folded = nx::UpperCase(name);
  NX_PREPARE(q, "SELECT id FROM keys WHERE parent=?1 AND folded=?2");
  q.Int(1, parent).Text(2, folded);
  int step = q.Step();
  if (step == SQLITE_ROW) {
    *child = q.ColInt(0);
    return ERROR_SUCCESS;
  }
  return step == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : FromSqlite(step);
}

LONG Txn::CreateChild(int64_t parent, std::u16string_view name, int64_t* child) {
  if (LONG rc = Mutable()) return rc;
  std::u16string folded = nx::UpperCase(name);
  int64_t now = NowFileTime();
  {
    NX_PREPARE(q, "INSERT INTO keys(parent, name, folded, written) VALUES(?1, ?2, ?3, ?4)");
    q.Int(1, parent).Text(2, name).Text(3, folded).Int(4, now);
    NX_RUN(q);
  }
  *child = sqlite3_last_insert_rowid(hive_.db_);
  return Touch(parent);
}

LONG Txn::HasChildren(int64_t key, bool* any) {
  *any = false;
  if (absent_) return ERROR_SUCCESS;
  NX_PREPARE(q, "SELECT EXISTS(SELECT 1 FROM keys WHERE parent=?1)");
  q.Int(1, key);
  int step = q.Step();
  if (step != SQLITE_ROW) return FromSqlite(step);
  *any = q.ColInt(0) != 0;
  return ERROR_SUCCESS;
}

LONG Txn::NthChild(int64_t key, DWORD index, std::u16string* name, int64_t* written) {
  if (absent_) return ERROR_NO_MORE_ITEMS;
  auto& cursors = hive_.cursors_;
  auto cursor = std::find_if(cursors.begin(), cursors.end(), [&](const Hive::ChildCursor& c) {
    return c.parent == key && c.index + 1 == index && index != 0;
  });
  if (cursor != cursors.end()) {
    // The subkey after the one handed out last, valid when nothing changed since.
    std::u16string after = cursor->folded;
    NX_PREPARE(q, "SELECT name, written, folded FROM keys WHERE parent=?1 AND folded>?2 ORDER BY folded LIMIT 1");
    q.Int(1, key).Text(2, after);
    int step = q.Step();
    if (step != SQLITE_ROW && step != SQLITE_DONE) return FromSqlite(step);
    if (hive_.DataVersion() == cursor->version) {
      if (step == SQLITE_DONE) {
        cursors.erase(cursor);
        return ERROR_NO_MORE_ITEMS;
      }
      *name = q.ColText(0);
      *written = q.ColInt(1);
      cursor->index = index;
      cursor->folded = q.ColText(2);
      return ERROR_SUCCESS;
    }
    cursors.erase(cursor);
  }
  NX_PREPARE(q, "SELECT name, written, folded FROM keys WHERE parent=?1 ORDER BY folded LIMIT 1 OFFSET ?2");
  q.Int(1, key).Int(2, index);
  int step = q.Step();
  if (step == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (step != SQLITE_ROW) return FromSqlite(step);
  *name = q.ColText(0);
  *written = q.ColInt(1);
  std::erase_if(cursors, [&](const Hive::ChildCursor& c) { return c.parent == key; });
  if (cursors.size() >= Hive::kCursors) cursors.erase(cursors.begin());
  cursors.push_back(Hive::ChildCursor{key, index, q.ColText(2), hive_.DataVersion()});
  return ERROR_SUCCESS;
}

LONG Txn::GetValue(int64_t key, std::u16string_view name, Value* out) {
  if (absent_) return ERROR_FILE_NOT_FOUND;
  std::u16string folded = nx::UpperCase(name);
  NX_PREPARE(q, "SELECT name, type, data FROM vals WHERE key=?1 AND folded=?2");
  q.Int(1, key).Text(2, folded);
  int step = q.Step();
  if (step == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (step != SQLITE_ROW) return FromSqlite(step);
  out->name = q.ColText(0);
  out->type = static_cast<DWORD>(q.ColInt(1));
  out->data = q.ColBlob(2);
  return ERROR_SUCCESS;
}

LONG Txn::NthValue(int64_t key, DWORD index, Value* out) {
  if (absent_) return ERROR_NO_MORE_ITEMS;
  NX_PREPARE(q, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id LIMIT 1 OFFSET ?2");
  q.Int(1, key).Int(2, index);
  int step = q.Step();
  if (step == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (step != SQLITE_ROW) return FromSqlite(step);
  out->name = q.ColText(0);
  out->type = static_cast<DWORD>(q.ColInt(1));
  out->data = q.ColBlob(2);
  return ERROR_SUCCESS;
}

LONG Txn::ListChildren(int64_t key, std::vector<std::u16string>* names) {
  names->clear();
  if (absent_) return ERROR_SUCCESS;
  NX_PREPARE(q, "SELECT name FROM keys WHERE parent=?1 ORDER BY folded");
  q.Int(1, key);
  int step;
  while ((step = q.Step()) == SQLITE_ROW) names->push_back(q.ColText(0));
  return step == SQLITE_DONE ? ERROR_SUCCESS : FromSqlite(step);
}

LONG Txn::ListValues(int64_t key, std::vector<Value>* values) {
  values->clear();
  if (absent_) return ERROR_SUCCESS;
  NX_PREPARE(q, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id");
  q.Int(1, key);
  int step;
  while ((step = q.Step()) == SQLITE_ROW)
    values->push_back(Value{q.ColText(0), static_cast<DWORD>(q.ColInt(1)), q.ColBlob(2)});
  return step == SQLITE_DONE ? ERROR_SUCCESS : FromSqlite(step);
}

LONG Txn::Info(int64_t key, KeyInfo* info) {
  *info = KeyInfo{};
  if (absent_) return ERROR_SUCCESS;
  // Name lengths in UTF-16 units: the byte length of the text as stored, halved.
  {
    NX_PREPARE(q, "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) / 2 FROM keys WHERE parent=?1");
    q.Int(1, key);
    int step = q.Step();
    if (step != SQLITE_ROW) return FromSqlite(step);
    info->subKeys = static_cast<DWORD>(q.ColInt(0));
    info->maxSubKeyLen = static_cast<DWORD>(q.ColInt(1));
  }
  {
    NX_PREPARE(q,
               "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) / 2, coalesce(max(length(data)), 0) "
               "FROM vals WHERE key=?1");
    q.Int(1, key);
    int step = q.Step();
    if (step != SQLITE_ROW) return FromSqlite(step);
    info->values = static_cast<DWORD>(q.ColInt(0));
    info->maxValueNameLen = static_cast<DWORD>(q.ColInt(1));
    info->maxValueLen = static_cast<DWORD>(q.ColInt(2));
  }
  NX_PREPARE(q, "SELECT written FROM keys WHERE id=?1");
  q.Int(1, key);
  int step = q.Step();
  if (step == SQLITE_ROW) info->written = q.ColInt(0);
  else if (step != SQLITE_DONE) return FromSqlite(step);
  return ERROR_SUCCESS;
}

LONG Txn::SetValue(int64_t key, std::u16string_view name, DWORD type, const BYTE* data, DWORD cb) {
  if (LONG rc = Mutable()) return rc;
  std::u16string folded = nx::UpperCase(name);
  {
    NX_PREPARE(q,
               "INSERT INTO vals(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
               "ON CONFLICT(key, folded) DO UPDATE SET type=excluded.type, data=excluded.data");
    q.Int(1, key).Text(2, name).Text(3, folded).Int(4, type).Blob(5, data, cb);
    NX_RUN(q);
  }
  return Touch(key);
}

LONG Txn::DeleteValue(int64_t key, std::u16string_view name) {
  if (absent_) return ERROR_FILE_NOT_FOUND;
  std::u16string folded = nx::UpperCase(name);
  {
    // Look first, so that a missing value is reported as such on a read-only hive too.
    NX_PREPARE(q, "SELECT 1 FROM vals WHERE key=?1 AND folded=?2");
    q.Int(1, key).Text(2, folded);
    int step = q.Step();
    if (step == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (step != SQLITE_ROW) return FromSqlite(step);
  }
  if (LONG rc = Mutable()) return rc;
  {
    NX_PREPARE(q, "DELETE FROM vals WHERE key=?1 AND folded=?2");
    q.Int(1, key).Text(2, folded);
    NX_RUN(q);
  }
  return Touch(key);
}

LONG Txn::DeleteKey(int64_t key) {
  if (LONG rc = Mutable()) return rc;
  NX_PREPARE(q, "DELETE FROM keys WHERE id=?1");
  q.Int(1, key);
  NX_RUN(q);
  return ERROR_SUCCESS;
}

LONG Txn::ParentOf(int64_t key, int64_t* parent) {
  *parent = 0;
  if (absent_) return ERROR_SUCCESS;
  NX_PREPARE(q, "SELECT parent FROM keys WHERE id=?1");
  q.Int(1, key);
  int step = q.Step();
  if (step == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (step != SQLITE_ROW) return FromSqlite(step);
  *parent = q.ColNull(0) ? 0 : q.ColInt(0);
  return ERROR_SUCCESS;
}

LONG Txn::Touch(int64_t key) {
  if (LONG rc = Mutable()) return rc;
  NX_PREPARE(q, "UPDATE keys SET written=?2 WHERE id=?1");
  q.Int(1, key).Int(2, NowFileTime());
  NX_RUN(q);
  return ERROR_SUCCESS;
}

#undef NX_RUN
#undef NX_PREPARE

}  // namespace nxpal
