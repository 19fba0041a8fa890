// Registry operations: the table of live key handles, path walking, access rights,
// and one transaction per call on the hive the handle belongs to.
#include "registry/registry_ops.h"

#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "nxpal/bytes.h"
#include "nxpal/text.h"

namespace nxpal {

namespace {

constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;

// What a handle stands for. A predefined key is found again at each use (by `prefix`
// below the root of the hive that is current then); an opened key is a row of its hive,
// which the handle keeps alive.
struct KeyRef {
  std::shared_ptr<Hive> hive;
  int64_t key = 0;
  bool predefined = false;
  std::vector<std::u16string_view> prefix;
  REGSAM access = 0;
};

// The live handles. Values start well above 0 and are never reused, so a closed or
// made-up handle is simply not found. `mu` guards `live` and `next`.
struct HandleTable {
  std::mutex mu;
  std::unordered_map<uintptr_t, KeyRef> live;
  uintptr_t next = 0x1000;
};

HandleTable& Handles() {
  static auto* t = new HandleTable;  // leaked on purpose: safe for threads still running at exit
  return *t;
}

HKEY AddHandle(KeyRef ref) {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> g(t.mu);
  uintptr_t v = t.next;
  t.next += 4;
  t.live.emplace(v, std::move(ref));
  return reinterpret_cast<HKEY>(v);
}

bool IsPredefined(HKEY h) {
  return h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER || h == HKEY_CLASSES_ROOT;
}

LONG Resolve(HKEY h, KeyRef* out) {
  if (h == HKEY_LOCAL_MACHINE || h == HKEY_CLASSES_ROOT) {
    out->hive = CurrentHive(HiveId::Machine);
    out->predefined = true;
    out->access = KEY_ALL_ACCESS;
    if (h == HKEY_CLASSES_ROOT) out->prefix = {u"Software", u"Classes"};
    return ERROR_SUCCESS;
  }
  if (h == HKEY_CURRENT_USER) {
    out->hive = CurrentHive(HiveId::User);
    out->predefined = true;
    out->access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> g(t.mu);
  auto it = t.live.find(reinterpret_cast<uintptr_t>(h));
  if (it == t.live.end()) return ERROR_INVALID_HANDLE;
  *out = it->second;
  return ERROR_SUCCESS;
}

// Splits "A\B\C" into its names. A trailing backslash is allowed; a leading one or an
// empty name inside is ERROR_BAD_PATHNAME; a name over 255 characters is invalid.
LONG Split(std::u16string_view path, std::vector<std::u16string_view>* parts) {
  if (!path.empty() && path.front() == u'\\') return ERROR_BAD_PATHNAME;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find(u'\\', i);
    if (j == std::u16string_view::npos) j = path.size();
    if (j == i) return ERROR_BAD_PATHNAME;
    if (j - i > kMaxKeyNameLen) return ERROR_INVALID_PARAMETER;
    parts->push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return ERROR_SUCCESS;
}

// Generic rights become key rights; MAXIMUM_ALLOWED is everything the hive allows.
REGSAM MapAccess(REGSAM sam, bool writable) {
  REGSAM a = sam & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  if (a & kGenericRead) a |= KEY_READ;
  if (a & kGenericWrite) a |= KEY_WRITE;
  if (a & kGenericExecute) a |= KEY_EXECUTE;
  if (a & kGenericAll) a |= KEY_ALL_ACCESS;
  if (a & kMaximumAllowed) a |= writable ? KEY_ALL_ACCESS : KEY_READ;
  return a & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kMaximumAllowed);
}

// The row of the key a handle stands for. For a predefined key whose path below the root
// is missing (HKEY_CLASSES_ROOT before anything was registered), create makes it;
// otherwise the result is 0, a key that exists but holds nothing.
LONG Locate(Txn& tx, const KeyRef& r, bool create, int64_t* key) {
  if (!r.predefined) {
    *key = r.key;
    return tx.CheckKey(r.key);
  }
  int64_t k = kRootKey;
  for (auto part : r.prefix) {
    int64_t next = 0;
    LONG rc = tx.FindChild(k, part, &next);
    if (rc == ERROR_FILE_NOT_FOUND) {
      if (!create) {
        *key = 0;
        return ERROR_SUCCESS;
      }
      rc = tx.CreateChild(k, part, &next);
    }
    if (rc) return rc;
    k = next;
  }
  *key = k;
  return ERROR_SUCCESS;
}

// Runs an operation, turning an allocation failure into its Win32 code.
template <typename F>
LONG Guard(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// Runs op(tx, key) on the key behind hkey in one transaction of the given mode, after
// checking that the handle grants `right` (0: no right needed).
template <typename F>
LONG OnKey(HKEY hkey, REGSAM right, Txn::Mode mode, bool create, F&& op) {
  return Guard([&]() -> LONG {
    KeyRef r;
    if (LONG rc = Resolve(hkey, &r)) return rc;
    if (right && !(r.access & right)) return ERROR_ACCESS_DENIED;
    Txn tx(*r.hive, mode);
    if (LONG rc = tx.Begin()) return rc;
    int64_t key = 0;
    if (LONG rc = Locate(tx, r, create, &key)) return rc;
    if (LONG rc = op(tx, key)) return rc;
    return tx.Commit();
  });
}

}  // namespace

LONG OpenKey(HKEY parent, std::u16string_view subKey, REGSAM sam, HKEY* result) {
  return Guard([&]() -> LONG {
    KeyRef r;
    if (LONG rc = Resolve(parent, &r)) return rc;
    std::vector<std::u16string_view> parts;
    if (LONG rc = Split(subKey, &parts)) return rc;
    if (parts.empty() && r.predefined) {  // Windows hands back the predefined key itself
      *result = parent;
      return ERROR_SUCCESS;
    }
    // Whether the hive is writable matters only to an open that may write (a look at the
    // file system, spared to the many opens that only read).
    const bool mayWrite = (sam & kMaximumAllowed) || (MapAccess(sam, true) & kWriteRights);
    const bool writable = mayWrite && r.hive->Writable();
    REGSAM access = MapAccess(sam, writable);
    if ((access & kWriteRights) && !writable) return ERROR_ACCESS_DENIED;
    Txn tx(*r.hive, Txn::Mode::Read);
    if (LONG rc = tx.Begin()) return rc;
    int64_t key = 0;
    if (LONG rc = Locate(tx, r, false, &key)) return rc;
    for (auto part : parts)
      if (LONG rc = tx.FindChild(key, part, &key)) return rc;
    if (LONG rc = tx.Commit()) return rc;
    *result = AddHandle(KeyRef{r.hive, key, false, {}, access});
    return ERROR_SUCCESS;
  });
}

LONG CreateKey(HKEY parent, std::u16string_view subKey, DWORD /*options*/, REGSAM sam, HKEY* result,
               DWORD* disposition) {
  return Guard([&]() -> LONG {
    KeyRef r;
    if (LONG rc = Resolve(parent, &r)) return rc;
    std::vector<std::u16string_view> parts;
    if (LONG rc = Split(subKey, &parts)) return rc;
    if (parts.empty() && r.predefined) {
      *result = parent;
      *disposition = REG_OPENED_EXISTING_KEY;
      return ERROR_SUCCESS;
    }
    bool writable = r.hive->Writable();
    REGSAM access = MapAccess(sam, writable);
    if ((access & kWriteRights) && !writable) return ERROR_ACCESS_DENIED;
    // On a hive this user cannot change, an existing key may still be opened for reading.
    Txn tx(*r.hive, writable ? Txn::Mode::Create : Txn::Mode::Read);
    if (LONG rc = tx.Begin()) return rc;
    int64_t key = 0;
    if (LONG rc = Locate(tx, r, writable, &key)) return rc;
    bool created = false;
    for (auto part : parts) {
      int64_t next = 0;
      LONG rc = tx.FindChild(key, part, &next);
      if (rc == ERROR_FILE_NOT_FOUND) {
        if (!writable || !(r.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        rc = tx.CreateChild(key, part, &next);
        created = true;
      }
      if (rc) return rc;
      key = next;
    }
    if (LONG rc = tx.Commit()) return rc;
    *result = AddHandle(KeyRef{r.hive, key, false, {}, access});
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

LONG SetValue(HKEY hkey, std::u16string_view name, DWORD type, const BYTE* data, DWORD cb) {
  if (name.size() > kMaxValueNameLen) return ERROR_INVALID_PARAMETER;
  return OnKey(hkey, KEY_SET_VALUE, Txn::Mode::Create, true, [&](Txn& tx, int64_t key) -> LONG {
    return tx.SetValue(key, name, type, data, cb);
  });
}

LONG QueryValue(HKEY hkey, std::u16string_view name, Value* out) {
  return OnKey(hkey, KEY_QUERY_VALUE, Txn::Mode::Read, false, [&](Txn& tx, int64_t key) -> LONG {
    return tx.GetValue(key, name, out);
  });
}

LONG EnumKey(HKEY hkey, DWORD index, std::u16string* name, int64_t* written) {
  return OnKey(hkey, KEY_ENUMERATE_SUB_KEYS, Txn::Mode::Read, false, [&](Txn& tx, int64_t key) -> LONG {
    return tx.NthChild(key, index, name, written);
  });
}

LONG EnumValue(HKEY hkey, DWORD index, Value* out) {
  return OnKey(hkey, KEY_QUERY_VALUE, Txn::Mode::Read, false, [&](Txn& tx, int64_t key) -> LONG {
    return tx.NthValue(key, index, out);
  });
}

LONG QueryInfo(HKEY hkey, bool utf8, KeyInfo* info) {
  return OnKey(hkey, KEY_QUERY_VALUE, Txn::Mode::Read, false, [&](Txn& tx, int64_t key) -> LONG {
    if (LONG rc = tx.Info(key, info)) return rc;
    if (!utf8) return ERROR_SUCCESS;
    std::vector<std::u16string> names;
    std::vector<Value> values;
    if (LONG rc = tx.ListChildren(key, &names)) return rc;
    if (LONG rc = tx.ListValues(key, &values)) return rc;
    info->maxSubKeyLen = info->maxValueNameLen = info->maxValueLen = 0;
    for (auto& n : names) info->maxSubKeyLen = std::max<DWORD>(info->maxSubKeyLen, nx::Utf16ToUtf8(n).size());
    for (auto& v : values) {
      info->maxValueNameLen = std::max<DWORD>(info->maxValueNameLen, nx::Utf16ToUtf8(v.name).size());
      info->maxValueLen = std::max<DWORD>(info->maxValueLen, DataToUtf8(v.type, v.data).size());
    }
    return ERROR_SUCCESS;
  });
}

LONG DeleteKey(HKEY hkey, std::u16string_view subKey) {
  return Guard([&]() -> LONG {
    KeyRef r;
    if (LONG rc = Resolve(hkey, &r)) return rc;
    std::vector<std::u16string_view> parts;
    if (LONG rc = Split(subKey, &parts)) return rc;
    // Deleting the handle's own key needs DELETE on it; a hive's root is never deleted.
    if (parts.empty() && (r.predefined || !(r.access & kDeleteRight))) return ERROR_ACCESS_DENIED;
    Txn tx(*r.hive, Txn::Mode::Change);
    if (LONG rc = tx.Begin()) return rc;
    int64_t key = 0;
    if (LONG rc = Locate(tx, r, false, &key)) return rc;
    for (auto part : parts)
      if (LONG rc = tx.FindChild(key, part, &key)) return rc;
    if (key == kRootKey || key == 0) return ERROR_ACCESS_DENIED;
    bool hasChildren = false;
    if (LONG rc = tx.HasChildren(key, &hasChildren)) return rc;
    if (hasChildren) return ERROR_ACCESS_DENIED;
    int64_t parentKey = 0;
    if (LONG rc = tx.ParentOf(key, &parentKey)) return rc;
    if (LONG rc = tx.DeleteKey(key)) return rc;
    if (parentKey)
      if (LONG rc = tx.Touch(parentKey)) return rc;
    return tx.Commit();
  });
}

LONG DeleteValue(HKEY hkey, std::u16string_view name) {
  return OnKey(hkey, KEY_SET_VALUE, Txn::Mode::Change, false, [&](Txn& tx, int64_t key) -> LONG {
    return tx.DeleteValue(key, name);
  });
}

LONG BeginReadScope(HKEY hkey) {
  return Guard([&]() -> LONG {
    KeyRef r;
    if (LONG rc = Resolve(hkey, &r)) return rc;
    return Txn::BeginReadScope(std::move(r.hive));
  });
}

void EndReadScope() { Txn::EndReadScope(); }

LONG CloseKey(HKEY hkey) {
  if (IsPredefined(hkey)) return ERROR_SUCCESS;
  HandleTable& t = Handles();
  KeyRef dropped;  // the hive, if this was its last handle, closes outside the table lock
  std::lock_guard<std::mutex> g(t.mu);
  auto it = t.live.find(reinterpret_cast<uintptr_t>(hkey));
  if (it == t.live.end()) return ERROR_INVALID_HANDLE;
  dropped = std::move(it->second);
  t.live.erase(it);
  return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::string DataToUtf8(DWORD type, const std::string& stored) {
  if (!IsStringType(type)) return stored;
  std::u16string text(stored.size() / 2, u'\0');  // an odd last byte is not a character
  std::memcpy(text.data(), stored.data(), text.size() * 2);
  return nx::Utf16ToUtf8(text);
}

std::string DataFromUtf8(DWORD type, const BYTE* data, DWORD cb) {
  std::string_view raw(reinterpret_cast<const char*>(data), data ? cb : 0);
  if (!IsStringType(type)) return std::string(raw);
  std::u16string text = nx::Utf8ToUtf16(raw);
  return nx::Utf16LeBytes(text);
}

}  // namespace nxpal
