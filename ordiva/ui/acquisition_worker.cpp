// The acquisition worker's loop and its suspend, resume and end.
#include "acquisition_worker.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>

namespace ordiva {

AcquisitionWorker::AcquisitionWorker(QObject* context, std::function<void()> step)
    : context_(context), step_(std::move(step)) {
  // Not IdlePriority: on Linux that is SCHED_IDLE, which runs only when a core has nothing
  // else to do, so on a busy machine each of the thousand hand-overs a second waited for a
  // free core and the recorder's bytes piled up on the link. The worker itself takes
  // almost no CPU time; the steps run on the user-interface thread.
  start(QThread::LowestPriority);
}

AcquisitionWorker::~AcquisitionWorker() { Terminate(); }

void AcquisitionWorker::Suspend() {
  std::lock_guard<std::mutex> l(lock_);
  suspended_ = true;
}

void AcquisitionWorker::Resume() {
  {
    std::lock_guard<std::mutex> l(lock_);
    suspended_ = false;
  }
  wake_.notify_all();
}

bool AcquisitionWorker::Suspended() const {
  std::lock_guard<std::mutex> l(lock_);
  return suspended_;
}

bool AcquisitionWorker::Terminated() const {
  std::lock_guard<std::mutex> l(lock_);
  return terminated_;
}

unsigned long long AcquisitionWorker::Steps() const {
  std::lock_guard<std::mutex> l(lock_);
  return steps_;
}

void AcquisitionWorker::Terminate() {
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

void AcquisitionWorker::run() {
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
