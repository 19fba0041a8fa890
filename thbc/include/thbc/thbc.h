// Public header of the basic classes library: the worker thread base class, the COM
// helper classes and the property set, for derivation in other libraries and programs.
//
// Binary contract: classes derived elsewhere are compiled against this header, so the
// order of each class's virtual functions (their vtable slots), the classes' data members
// and their sizes must not change; add new virtual functions only at the end, never in
// between. thbc/tests/vtable_slot.h checks the slots.
#pragma once

#include "nxpal/windows.h"

// A one-shot worker thread whose life is tied to an owner's pointer variable (the
// self slot), guarded by the owner's critical section (the lock).
//
// Contract: the object writes itself into the slot when built and null when destroyed, so
// the owner, under its lock, always sees either a live worker or null. A worker that
// finishes its work calls the base ThreadProc as its very last step, which takes the lock
// and destroys the object; an owner that stops a worker early destroys it under the lock,
// which ends the thread (cooperatively: the worker's blocking calls of the platform layer
// fail with ERROR_OPERATION_ABORTED (995) from then on) and waits for it to be gone.
// Derived objects are created with new and destroyed through the virtual destructor.
class NX_EXPORT NXThread {
 public:
  // Both pointers must stay valid for the object's whole life; the lock is never
  // initialised or deleted here.
  NXThread(NXThread** self, CRITICAL_SECTION* lock);
  // Two objects would own one thread handle: copying is not offered.
  NXThread(const NXThread&) = delete;
  NXThread& operator=(const NXThread&) = delete;

  virtual ~NXThread();
  // S_OK when the thread was created, else the HRESULT of the creation failure.
  virtual HRESULT Status();
  // Non-zero resumes, 0 suspends. S_OK exactly when the call switched the thread
  // between suspended and running; S_FALSE otherwise or without a thread.
  virtual HRESULT SetState(int state);
  // A Windows thread priority (-15 idle ... 15); S_FALSE without a thread.
  virtual HRESULT SetPriority(int priority);
  // The thread body. Overrides do their work and call this as their very last step.
  virtual void ThreadProc();

 protected:
  // Ends the thread if it is still attached and waits until it is gone. A derived
  // destructor whose members the worker uses calls this first, so that the worker
  // never sees them destroyed; the base destructor calls it in any case.
  void EndThread();

  HANDLE m_hThread;  // null when creation failed and after the thread's natural end
  HRESULT m_hrStatus;  // S_OK or the creation failure
  CRITICAL_SECTION* m_pLock;  // the owner's lock
  NXThread** m_ppSelf;  // the owner's slot

 private:
  static DWORD StartRoutine(LPVOID self);
};

// ---- COM helper classes -----------------------------------------------------------------
// Common rules of the reference-counted classes (NXClsObj, NXDataSync, NXPropSet): the
// count is a plain 32-bit integer (not interlocked: one thread at a time uses an object)
// that starts at 0, so the creator takes the first reference itself with AddRef or
// QueryInterface; the Release that brings it to 0 destroys the object through its
// virtual destructor. QueryInterface: a null out pointer gives E_INVALIDARG; the class's
// interface and IUnknown give the object with one more reference; any other id gives
// E_NOINTERFACE and a null out pointer.
//
// Copying: the reference count is never copied. A copy is a new object with count 0;
// assignment copies what the object describes and keeps the target's own count.

// Class factory base for in-process servers: counts itself among the server's objects
// from construction to destruction and keeps the server's lock count. Both counts belong
// to the server module; a null pointer means that count is not kept.
class NX_EXPORT NXClsObj : public IClassFactory {
 public:
  NXClsObj(ULONG* objectCount, ULONG* lockCount);
  // The copy is one more object of the source's server.
  NXClsObj(const NXClsObj& other);
  // Moves this object's place in the object count to the source's server.
  NXClsObj& operator=(const NXClsObj& other);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override = 0;
  // Non-zero adds one to the lock count, zero takes one away; always S_OK.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

 protected:
  virtual ~NXClsObj();  // takes the object away from the server's count

  ULONG m_cRef;
  ULONG* m_pObjectCount;
  ULONG* m_pLockCount;
};

// Advise sink whose notifications do nothing until a derived class overrides them.
class NX_EXPORT NXDataSync : public IAdviseSink {
 public:
  NXDataSync();
  NXDataSync(const NXDataSync& other);
  NXDataSync& operator=(const NXDataSync& other);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) override;
  void STDMETHODCALLTYPE OnViewChange(DWORD dwAspect, LONG lindex) override;
  void STDMETHODCALLTYPE OnRename(IMoniker* pmk) override;
  void STDMETHODCALLTYPE OnSave() override;
  void STDMETHODCALLTYPE OnClose() override;

 protected:
  virtual ~NXDataSync();

  ULONG m_cRef;
};

// Merges the context menus of several objects into one menu and routes commands and
// help texts back to the object whose item was chosen.
//
// Contract: the holders of one menu form a doubly linked list whose head is the owner's
// NXContextMenuHolder* variable; a new holder goes to the front and a destroyed one
// unlinks itself, so the head must outlive every holder. The owner creates and deletes
// holders (no reference count) and calls InitMenu, GetTipText and Command on the head,
// which walks towards older holders. Each holder owns the command ids from its first to
// its last id as 16-bit numbers (last = first - 1 is the empty range, which is also
// where a new holder starts). A holder without a menu (Status() a failure) adds nothing
// and owns no id; the walk passes over it. Not copyable: a copy would share the list
// links and the held menu of its source.
class NX_EXPORT NXContextMenuHolder {
 public:
  // Puts the holder at the front of *head (a null head: a holder in no list) and asks
  // object for IContextMenu; the answer is the status (E_POINTER for a null object).
  NXContextMenuHolder(NXContextMenuHolder** head, IUnknown* object);
  NXContextMenuHolder(const NXContextMenuHolder&) = delete;
  NXContextMenuHolder& operator=(const NXContextMenuHolder&) = delete;

  virtual ~NXContextMenuHolder();  // releases the menu and unlinks the holder
  virtual HRESULT Status();
  // Fills menu from this holder and every older one: each adds its items after the
  // ones before, behind a separator when the menu is not empty, with ids from firstId
  // on (at most lastId) that no other holder uses. Returns the number of ids used in
  // all, or the first failure of a menu, after which no older holder is asked. A
  // handle that is not a live menu: HRESULT_FROM_WIN32(ERROR_INVALID_MENU_HANDLE).
  virtual HRESULT InitMenu(HMENU menu, USHORT firstId, USHORT lastId, UINT flags);
  // The help text (GCS_HELPTEXTW) of the command with this id from the holder that
  // owns it; E_INVALIDARG when no holder does.
  virtual HRESULT GetTipText(USHORT id, WCHAR* buffer, UINT capacity);
  // Invokes the command with this id on the holder that owns it, with the verb set to
  // the id's offset from that holder's first id; E_INVALIDARG when no holder owns it.
  virtual HRESULT Command(HWND window, USHORT id);

 protected:
  USHORT m_idFirst;
  USHORT m_idLast;
  IContextMenu* m_pMenu;  // one reference, or null
  HRESULT m_hrStatus;  // the answer to the request for IContextMenu
  NXContextMenuHolder* m_pPrev;  // newer neighbour, null at the head
  NXContextMenuHolder* m_pNext;  // older neighbour
  NXContextMenuHolder** m_ppHead;  // the owner's head variable, or null
};

// ---- Property set -------------------------------------------------------------------------
// A configuration object presents its settings as a tree of property items in a user
// interface that someone else owns (the UI provider). The records below keep the field
// order and integer widths of the 32-bit original; pointer fields are 8 bytes here, so
// record sizes are sizeof() of these declarations, not the original byte counts.

// One item of the tree, normally in static data of the derived class. Children are an
// array of their own.
struct NXPROPTREEITEM {
  WORD wID;  // item id
  WORD wReserved1;  // not read by the property set
  NXPROPTREEITEM* pChildren;  // first child item, or null
  WORD wChildCount;  // number of child items
  WORD wReserved2;  // not read by the property set
  WORD wLabelID;  // string id of the label; 0: ask the label hook
  WORD wTipID;  // string id of the tip; 0: ask the tip hook
  DWORD dwUIHandle;  // the item's UI handle, written by the UI provider at creation
};
static_assert(offsetof(NXPROPTREEITEM, pChildren) == 8 && offsetof(NXPROPTREEITEM, wChildCount) == 16);
static_assert(offsetof(NXPROPTREEITEM, wLabelID) == 20 && offsetof(NXPROPTREEITEM, dwUIHandle) == 24);
static_assert(sizeof(NXPROPTREEITEM) == 32);

// What the UI provider is given when it is asked to create the UI item of a tree item.
struct NXPROPUIITEM {
  DWORD cbSize;  // sizeof(NXPROPUIITEM)
  DWORD dwCode;  // the item id in the low 16 bits, NXPROPUIITEM_ITEM set
  NXPROPTREEITEM* pItem;  // the tree item
  DWORD dwProvider;  // belongs to the UI provider; 0 when the property set passes it
};
inline constexpr DWORD NXPROPUIITEM_ITEM = 0x00010000;  // bit 16 of dwCode
static_assert(offsetof(NXPROPUIITEM, pItem) == 8 && offsetof(NXPROPUIITEM, dwProvider) == 16);
static_assert(sizeof(NXPROPUIITEM) == 24);

// The common head of every parameter record.
struct NXCFGPARAMHDR {
  DWORD cbSize;  // size of the whole record in bytes
  DWORD dwFlags;  // NXCFG_* below: record type, main part, typed part
  NXPROPTREEITEM* pItem;  // the tree item the parameter belongs to
  DWORD dwReserved;  // not read by the base class
};
static_assert(offsetof(NXCFGPARAMHDR, pItem) == 8 && offsetof(NXCFGPARAMHDR, dwReserved) == 16);
static_assert(sizeof(NXCFGPARAMHDR) == 24);

// Bits 3-5 of dwFlags: the record type.
inline constexpr DWORD NXCFG_TYPE_MASK = 0x00000038;
inline constexpr DWORD NXCFG_TYPE_SHIFT = 3;
inline constexpr DWORD NXCFG_TYPE_INT = 2;  // NXCFGINTPARAM
inline constexpr DWORD NXCFG_TYPE_SS = 4;  // NXCFGSSPARAM
inline constexpr DWORD NXCFG_MAINPART = 0x00040000;  // bit 18: the head carries a main part
inline constexpr DWORD NXCFG_TYPEDPART = 0x00080000;  // bit 19: a typed part follows
inline constexpr DWORD NxCfgType(DWORD flags) { return (flags & NXCFG_TYPE_MASK) >> NXCFG_TYPE_SHIFT; }
inline constexpr DWORD NxCfgFlags(DWORD type) { return (type << NXCFG_TYPE_SHIFT) & NXCFG_TYPE_MASK; }

// The typed records. What their fields mean is agreed between a derived class's hooks
// and its UI; the base class only checks that cbSize covers the record.
struct NXCFGSSPARAM {
  NXCFGPARAMHDR hdr;
  DWORD dwData[1];
};
static_assert(offsetof(NXCFGSSPARAM, dwData) == 24 && sizeof(NXCFGSSPARAM) == 32);
struct NXCFGINTPARAM {
  NXCFGPARAMHDR hdr;
  DWORD dwData[5];
};
static_assert(offsetof(NXCFGINTPARAM, dwData) == 24 && sizeof(NXCFGINTPARAM) == 48);

// A request for the label, tip or value text of a tree item. Callers may pass a longer
// record that begins with this one; the further fields belong to them and the hooks.
struct NXSTRINGREQUEST {
  WORD wForm;  // form of the answer: NXSTR_FORM_RESOURCE for a string resource
  union {
    WORD wKind;  // on input: NXSTR_KIND_*
    WORD wStringID;  // in a resource answer: the string id
  };
  NXPROPTREEITEM* pItem;  // the tree item
  HMODULE hModule;  // in a resource answer: the module that holds the string
};
static_assert(offsetof(NXSTRINGREQUEST, pItem) == 8 && offsetof(NXSTRINGREQUEST, hModule) == 16);
static_assert(sizeof(NXSTRINGREQUEST) == 24);
inline constexpr WORD NXSTR_KIND_LABEL = 0;
inline constexpr WORD NXSTR_KIND_TIP = 1;
inline constexpr WORD NXSTR_KIND_VALUE = 2;
inline constexpr WORD NXSTR_FORM_RESOURCE = 2;

// Implemented by the UI side. The property set keeps it without a reference.
struct INXPropertyUIProvider : IUnknown {
  // Creates a UI item under the UI item parent (0: the top level) and stores its handle.
  virtual HRESULT STDMETHODCALLTYPE InsertItem(DWORD parent, NXPROPUIITEM* item, DWORD* handle) = 0;
};

inline constexpr IID IID_INXPropertySet = nx::Guid("CC6CC62B-E45D-11D3-B462-BA087854BA25");

struct INXPropertySet : IUnknown {
  // Keeps the provider and has it create the UI items of the whole tree.
  virtual HRESULT STDMETHODCALLTYPE Connect(INXPropertyUIProvider* provider) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetParameter(NXCFGPARAMHDR* param) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetParameter(NXCFGPARAMHDR* param) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetImageList(int kind, HIMAGELIST* list) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetText(NXSTRINGREQUEST* request) = 0;
  // TRUE when the settings are acceptable.
  virtual BOOL STDMETHODCALLTYPE Check(HWND window) = 0;
  virtual HRESULT STDMETHODCALLTYPE Apply() = 0;
};

// Base class of configuration objects. It walks the tree for the UI provider, checks
// and dispatches parameter records and answers text requests; what each parameter and
// text means comes from the protected hooks, which a derived class overrides (the base
// hooks only check sizes). Reference counting and copying as for the COM helpers above.
// Used on its UI thread only; the tree must outlive the object.
class NX_EXPORT NXPropSet : public INXPropertySet {
 public:
  // Status S_OK when items is not null and count above 0, else E_INVALIDARG.
  NXPropSet(NXPROPTREEITEM* items, int count);
  NXPropSet(const NXPropSet& other);
  NXPropSet& operator=(const NXPropSet& other);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // Keeps the provider (a null one forgets it) and returns uInitUI(0, items, count);
  // E_INVALIDARG for a negative count. Called again, it creates the UI items anew and
  // overwrites their UI handles.
  HRESULT STDMETHODCALLTYPE Connect(INXPropertyUIProvider* provider) override;
  // Null record: E_INVALIDARG. With NXCFG_MAINPART the main-part hook runs first; if it
  // fails, or NXCFG_TYPEDPART is clear, that is the result (S_OK with neither bit).
  // Otherwise the typed hook of the record type runs; other types: E_INVALIDARG.
  HRESULT STDMETHODCALLTYPE GetParameter(NXCFGPARAMHDR* param) override;
  HRESULT STDMETHODCALLTYPE SetParameter(NXCFGPARAMHDR* param) override;
  // No image list in the base class: null and S_FALSE (E_INVALIDARG for a null list).
  HRESULT STDMETHODCALLTYPE GetImageList(int kind, HIMAGELIST* list) override;
  // Null request: E_POINTER. The value kind goes to uGetStringValue. Otherwise, when the
  // item's string id for the kind (the tip id for NXSTR_KIND_TIP, the label id for any
  // other) is not 0, answers with a string resource of thbc's own module: wForm
  // NXSTR_FORM_RESOURCE, wStringID, hModule; a derived class whose strings live in its
  // own module overrides GetText, calls this and puts its module into hModule. An id
  // of 0 goes to uGetPropTip for the tip kind and uGetPropLabel for the others. A
  // label or tip request without an item: E_INVALIDARG.
  HRESULT STDMETHODCALLTYPE GetText(NXSTRINGREQUEST* request) override;
  BOOL STDMETHODCALLTYPE Check(HWND window) override;  // TRUE
  HRESULT STDMETHODCALLTYPE Apply() override;  // does nothing: S_OK

 protected:
  virtual ~NXPropSet();  // the first of the class's own slots, before Status

 public:
  virtual HRESULT Status();

 protected:
  // Creates the UI items of count items under the UI item parent, each followed by its
  // descendants (through this virtual call, so a derived class sees every level). Stops
  // at the first failure of the provider and returns it; S_OK when all were created.
  // E_INVALIDARG for null items with a count, E_POINTER without a provider.
  virtual HRESULT uInitUI(DWORD parent, NXPROPTREEITEM* items, DWORD count);
  // The text hooks: S_FALSE (no answer) in the base class.
  virtual HRESULT uGetStringValue(NXPROPTREEITEM* item, NXSTRINGREQUEST* request);
  virtual HRESULT uGetPropLabel(NXPROPTREEITEM* item, NXSTRINGREQUEST* request);
  virtual HRESULT uGetPropTip(NXPROPTREEITEM* item, NXSTRINGREQUEST* request);
  // The parameter hooks: E_INVALIDARG when cbSize is below the size of the record type,
  // else S_OK, in the base class. An override checks through them, then does its work.
  virtual HRESULT uGetMainParam(NXCFGPARAMHDR* param, NXPROPTREEITEM* item);
  virtual HRESULT uGetSSParam(NXCFGSSPARAM* param, NXPROPTREEITEM* item);
  virtual HRESULT uGetIntParam(NXCFGINTPARAM* param, NXPROPTREEITEM* item);
  virtual HRESULT uSetMainParam(NXCFGPARAMHDR* param, NXPROPTREEITEM* item);
  virtual HRESULT uSetSSParam(NXCFGSSPARAM* param, NXPROPTREEITEM* item);
  virtual HRESULT uSetIntParam(NXCFGINTPARAM* param, NXPROPTREEITEM* item);

  ULONG m_cRef;
  INXPropertyUIProvider* m_pUIProvider;  // not counted; null until Connect
  HRESULT m_hrStatus;
  NXPROPTREEITEM* m_pItems;  // the top level
  int m_nItems;
};
