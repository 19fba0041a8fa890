// Test support: a window double for InitDialog that keeps the controls' state, answers
// the confirmation from a script, and runs posted updates when the test pumps them.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dialog.h"
#include "ids.h"

namespace fcitest {

class ViewDouble : public fci::IDialogView {
 public:
  int FindItem(WCHAR letter) override {
    auto it = std::find(items.begin(), items.end(), letter);
    return it == items.end() ? -1 : static_cast<int>(it - items.begin());
  }
  int AddItem(WCHAR letter) override {
    auto it = std::lower_bound(items.begin(), items.end(), letter);
    int index = static_cast<int>(it - items.begin());
    items.insert(it, letter);
    if (sel >= index) ++sel;
    return index;
  }
  void DeleteItem(int index) override {
    items.erase(items.begin() + index);
    if (sel == index) sel = -1;
    else if (sel > index) --sel;
  }
  int CurSel() override { return sel; }
  void SetCurSel(int index) override { sel = index; }
  WCHAR ItemLetter(int index) override { return items.at(static_cast<size_t>(index)); }
  bool IsDroppedDown() override { return dropped; }
  void SetText(int id, const std::u16string& text) override { texts[id] = text; }
  void Enable(int id, bool on) override { enabled[id] = on; }
  void Check(int id, bool on) override { checked[id] = on; }
  void SetProgressRange(int max) override { rangeMax = max; }
  void SetProgressPos(int pos) override { progress = pos; }
  void Beep(DWORD frequency, DWORD) override { beeps.push_back(frequency); }
  int AskUser(UINT captionId, UINT textId, UINT style) override {
    asked.push_back({captionId, textId, style});
    if (answers.empty()) return IDNO;
    int a = answers.front();
    answers.pop_front();
    return a;
  }
  void ReportStartError(HRESULT hr) override { errors.push_back(hr); }
  void EndDialog(int result) override { endResult = result; }
  HWND Window() override { return reinterpret_cast<HWND>(this); }
  void Post(std::function<void()> update) override {
    std::lock_guard<std::mutex> g(m_);
    posted_.push_back(std::move(update));
  }
  // Runs the updates posted so far, on the calling (window) thread.
  void Pump() {
    std::vector<std::function<void()>> run;
    {
      std::lock_guard<std::mutex> g(m_);
      run.swap(posted_);
    }
    for (auto& f : run) f();
  }

  std::vector<WCHAR> items;
  int sel = -1;
  bool dropped = false;
  std::map<int, std::u16string> texts;
  std::map<int, bool> enabled, checked;
  int rangeMax = -1, progress = -1;
  std::vector<DWORD> beeps;
  struct Ask {
    UINT caption, text, style;
  };
  std::vector<Ask> asked;
  std::deque<int> answers;  // IDYES / IDNO for the next questions
  std::vector<HRESULT> errors;
  int endResult = -1;

 private:
  std::mutex m_;
  std::vector<std::function<void()>> posted_;
};

}  // namespace fcitest
