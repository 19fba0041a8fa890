// TFProba: the acquisition worker's loop and its suspend, resume and end.
#include "Proba.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>

namespace ordiva {

TFProba::TFProba(QObject* context, std::function<void()> step) : context_(context), step_(std::move(step)) {
  start(QThread::IdlePriority);
}

TFProba::~TFProba() { Terminate(); }

void TFProba::Suspend() {
  std::lock_guard<std::mutex> l(lock_);
  suspended_ = true;
}

void TFProba::Resume() {
  {
    std::lock_guard<std::mutex> l(lock_);
    suspended_ = false;
  }
  wake_.notify_all();
}

bool TFProba::Suspended() const {
  std::lock_guard<std::mutex> l(lock_);
  return suspended_;
}

bool TFProba::Terminated() const {
  std::lock_guard<std::mutex> l(lock_);
  return terminated_;
}

unsigned long long TFProba::Steps() const {
  std::lock_guard<std::mutex> l(lock_);
  return steps_;
}

void TFProba::Terminate() {
  {
    std::lock_guard<std::mutex> l(lock_);
    terminated_ = true;
  }
  wake_.notify_all();
  if (QThread::currentThread() == this || isFinished() || inStep_) return;
  if (QThread::currentThread() != context_->thread()) {
    wait();
    return;
  }
  // The worker may be waiting for a step queued to this thread: deliver it (it returns
  // at once now) while waiting, never blocking this thread on the worker alone.
  while (!wait(5)) QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}

void TFProba::run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> l(lock_);
      wake_.wait(l, [&] { return !suspended_ || terminated_; });
      if (terminated_) break;
    }
    QMetaObject::invokeMethod(
        context_,
        [this] {
          {
            std::lock_guard<std::mutex> l(lock_);
            if (terminated_ || suspended_) return;
            ++steps_;
          }
          inStep_ = true;
          step_();
          inStep_ = false;
        },
        Qt::BlockingQueuedConnection);
  }
}

}  // namespace ordiva
