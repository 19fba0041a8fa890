// InitDialog: card list, selection, options, start and cancel, and the settings.
#include "dialog.h"

#include <new>

#include "card.h"
#include "ids.h"
#include "nxpal/bytes.h"
#include "worker.h"

namespace fci {

bool LoadSettings(InitParameters* params) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  BYTE bytes[4] = {0, 0, 0, 0};
  DWORD size = sizeof bytes, type = 0;
  const LSTATUS rc = RegQueryValueExW(key, kSettingsValue, nullptr, &type, bytes, &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return false;
  // Bytes 0-1: the letter (UTF-16, little-endian); 2-3: the options word.
  params->letter = static_cast<WCHAR>(nx::LoadLe16(bytes));
  params->options = nx::LoadLe16(bytes + 2);
  return true;
}

void SaveSettings(const InitParameters& params) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  BYTE bytes[4];
  nx::StoreLe16(bytes, params.letter);
  nx::StoreLe16(bytes + 2, params.options);
  RegSetValueExW(key, kSettingsValue, 0, REG_BINARY, bytes, sizeof bytes);
  RegCloseKey(key);
}

InitDialog::InitDialog() {
  InitializeCriticalSection(&lock_);
  if (LoadSettings(&params_)) remembered_[0] = params_.letter;
}

InitDialog::~InitDialog() {
  DeleteCriticalSection(&lock_);
  SaveSettings(params_);
}

void InitDialog::Attach(IDialogView* view) {
  view_ = view;
  view->SetProgressRange(3);
  view->Check(IDC_CHECK, (params_.options & OPT_CHECK) != 0);
  UpdateStrictBox();
}

void InitDialog::Detach() { view_ = nullptr; }

HWND InitDialog::GetWindow() { return view_ ? View()->Window() : nullptr; }

int InitDialog::AskUser(UINT captionId, UINT textId, UINT style) {
  return view_ ? View()->AskUser(captionId, textId, style) : 0;
}

bool InitDialog::Running() {
  EnterCriticalSection(&lock_);
  const bool running = worker_ != nullptr;
  LeaveCriticalSection(&lock_);
  return running;
}

void InitDialog::UpdateStrictBox() {
  const bool check = (params_.options & OPT_CHECK) != 0;
  View()->Enable(IDC_STRICT, check);
  // The strict bit is kept while "Проверка" is off; the box only shows it when it counts.
  View()->Check(IDC_STRICT, check && (params_.options & OPT_STRICT) != 0);
}

void InitDialog::OnTimer() {
  if (!view_) return;
  const DWORD mask = GetLogicalDrives();
  const bool dropped = View()->IsDroppedDown();
  for (int i = 0; i < 32; ++i) {
    const WCHAR letter = static_cast<WCHAR>(u'A' + i);
    int item = View()->FindItem(letter);
    if ((mask & (1u << i)) && IsCard(letter)) {
      if (item == -1) {
        item = View()->AddItem(letter);
        if (letter == remembered_[0] && !dropped) View()->SetCurSel(item);
      }
    } else if (item != -1) {
      if (letter == remembered_[0]) View()->SetCurSel(-1);
      View()->DeleteItem(item);
    }
  }
  RefreshSelection();
}

void InitDialog::OnSelEndOk() {
  if (!view_) return;
  RefreshSelection();
  View()->SetProgressPos(0);
}

void InitDialog::RefreshSelection() {
  const int sel = View()->CurSel();
  UINT status = 0;
  bool serviceMissing = false;
  if (sel != -1) {
    remembered_[0] = View()->ItemLetter(sel);
    params_.letter = remembered_[0];
    if (!runStarted_) {
      // Only figures read from this card now are shown: a size that cannot be read says
      // so rather than keeping what an earlier card or an earlier tick showed.
      CardInfoTexts info;
      if (!ReadCardInfo(remembered_[0], &info)) {
        serviceMissing = NoPagedFileService(GetLastError());
        info = CardInfoTexts{};
      }
      const std::u16string unknown = LoadText(IDS_SIZE_UNKNOWN);
      View()->SetText(IDC_CLUSTER, info.cluster.empty() ? unknown : info.cluster);
      View()->SetText(IDC_TOTAL, info.total.empty() ? unknown : info.total);
      View()->SetText(IDC_FREE, info.free.empty() ? unknown : info.free);
      // Without the service nothing can be read or written: say so instead of "ready".
      status = serviceMissing ? IDS_NO_SERVICE : IDS_READY;
      View()->SetText(IDC_ELAPSED, u"");
      View()->SetText(IDC_REMAINING, u"");
    }
  } else {
    View()->SetProgressPos(0);
    for (int id : {IDC_CLUSTER, IDC_TOTAL, IDC_FREE, IDC_ELAPSED, IDC_REMAINING}) View()->SetText(id, u"");
    status = IDS_NO_CARD;
    runStarted_ = false;
  }
  View()->Enable(IDC_START, sel != -1 && !serviceMissing);
  if (status) View()->SetText(IDC_STATUS, LoadText(status));
}

void InitDialog::OnCheckClicked(bool ticked) {
  params_.options = static_cast<WORD>(ticked ? params_.options | OPT_CHECK : params_.options & ~OPT_CHECK);
  if (view_) UpdateStrictBox();
}

void InitDialog::OnStrictClicked(bool ticked) {
  params_.options = static_cast<WORD>(ticked ? params_.options | OPT_STRICT : params_.options & ~OPT_STRICT);
}

void InitDialog::OnStartClicked(bool pressed) {
  if (!pressed) {
    Cancel(true);
    return;
  }
  if (view_) View()->SetProgressPos(0);
  HRESULT hr = S_OK;
  EnterCriticalSection(&lock_);
  if (!worker_) {
    if (!new (std::nothrow) InitWorker(&worker_, this)) {
      hr = E_OUTOFMEMORY;
    } else if ((hr = worker_->Status()) == S_OK) {
      runStarted_ = true;
      worker_->SetPriority(THREAD_PRIORITY_IDLE);
      worker_->SetState(1);
    } else {
      delete worker_;  // releases the start button and enables the list again
    }
  }
  LeaveCriticalSection(&lock_);
  if (FAILED(hr) && view_) View()->ReportStartError(hr);
}

bool InitDialog::Cancel(bool ask) {
  EnterCriticalSection(&lock_);
  if (worker_) {
    // The box is shown under the lock: a worker that ends meanwhile waits for the answer
    // before it destroys itself.
    if (ask && AskUser(IDS_CONFIRM_CAPTION, IDS_CONFIRM_CANCEL, MB_YESNO | MB_ICONQUESTION) != IDYES) {
      // The run goes on, so the start button shows it running again.
      if (view_ && worker_) View()->Check(IDC_START, true);
      LeaveCriticalSection(&lock_);
      return false;
    }
    delete worker_;
  }
  LeaveCriticalSection(&lock_);
  return true;
}

void InitDialog::OnCloseClicked() {
  if (Cancel(true) && view_) View()->EndDialog(0);
}

void InitDialog::OnCloseRequested() {
  if (Cancel(false) && view_) View()->EndDialog(0);
}

void InitDialog::PostToView(std::function<void(IDialogView*)> update) {
  IDialogView* view = view_;
  if (!view) return;
  view->Post([this, update = std::move(update)] {
    if (IDialogView* now = view_) update(now);
  });
}

void InitDialog::PostProgressRange(int max) {
  PostToView([max](IDialogView* v) { v->SetProgressRange(max); });
}
void InitDialog::PostProgressPos(int pos) {
  PostToView([pos](IDialogView* v) { v->SetProgressPos(pos); });
}
void InitDialog::PostItemText(int controlId, const std::u16string& text) {
  PostToView([controlId, text](IDialogView* v) { v->SetText(controlId, text); });
}
void InitDialog::PostStatus(UINT, const std::u16string& text) {
  PostToView([text](IDialogView* v) { v->SetText(IDC_STATUS, text); });
}
void InitDialog::PostDrivesEnabled(bool enabled) {
  PostToView([enabled](IDialogView* v) { v->Enable(IDC_DRIVES, enabled); });
}
void InitDialog::PostStartReleased() {
  PostToView([](IDialogView* v) { v->Check(IDC_START, false); });
}
void InitDialog::PostBeep(DWORD frequency, DWORD durationMs) {
  PostToView([frequency, durationMs](IDialogView* v) { v->Beep(frequency, durationMs); });
}
void InitDialog::PostRunEnded(DWORD) {}  // the status line tells the outcome

}  // namespace fci
