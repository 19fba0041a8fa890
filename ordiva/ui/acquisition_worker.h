// The acquisition worker: a thread of the lowest ordinary priority that hands one
// acquisition step after another to the user-interface thread and waits for each, so that
// steps and button handlers never overlap and only the user-interface thread touches the
// link and widgets.
#pragma once

#include <QThread>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace ordiva {

class AcquisitionWorker : public QThread {
 public:
  // step runs on the thread of context for every turn of the loop. The worker starts
  // suspended.
  AcquisitionWorker(QObject* context, std::function<void()> step);
  ~AcquisitionWorker() override;

  // Suspension takes effect between steps: a step already handed over still runs unless
  // it has not begun yet, in which case it is skipped.
  void Suspend();
  void Resume();
  bool Suspended() const;
  // Ends the loop. From the user-interface thread it waits for the worker, delivering a
  // step the worker is waiting for (which then does nothing); from inside a step it only
  // marks the end, which the worker sees when the step returns.
  void Terminate();
  bool Terminated() const;
  // Steps run so far.
  unsigned long long Steps() const;

 protected:
  void run() override;

 private:
  QObject* context_;
  std::function<void()> step_;
  mutable std::mutex lock_;  // guards the three fields below
  std::condition_variable wake_;
  bool suspended_ = true;
  bool terminated_ = false;
  unsigned long long steps_ = 0;
  bool inStep_ = false;  // a step runs now (user-interface thread only)
};

}  // namespace ordiva
