// An open port's handles, lent to each call for its length, and a Close that may come from
// another thread while calls are under way (the library's reader waits in the port while its
// caller closes it). Close first lets the platform wake every waiting call, then waits until
// each loan is given back, and only then releases the handles: none is used after it was
// closed, and a second Close waits for the first instead of closing twice.
#pragma once

#include <condition_variable>
#include <mutex>

namespace platform {

template <typename Handles>
class PortLoans {
 public:
  // A copy of the handles for one call; not ok() when the port is closed or closing.
  class Loan {
   public:
    explicit Loan(PortLoans& loans) : loans_(loans) {
      std::lock_guard<std::mutex> lock(loans_.mutex_);
      if (!loans_.open_ || loans_.closing_) return;
      ++loans_.users_;
      handles_ = loans_.handles_;
      ok_ = true;
    }
    ~Loan() {
      if (!ok_) return;
      std::lock_guard<std::mutex> lock(loans_.mutex_);
      if (--loans_.users_ == 0) loans_.idle_.notify_all();
    }
    Loan(const Loan&) = delete;
    Loan& operator=(const Loan&) = delete;

    bool ok() const { return ok_; }
    const Handles& handles() const { return handles_; }

   private:
    PortLoans& loans_;
    Handles handles_{};
    bool ok_ = false;
  };

  // The handles of a port just opened (the previous ones were closed before).
  void Install(const Handles& handles) {
    std::lock_guard<std::mutex> lock(mutex_);
    handles_ = handles;
    open_ = true;
  }

  bool IsOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_ && !closing_;
  }

  // Changes what is kept beside the handles (time-outs, settings, flags) under the lock; later
  // loans see it.
  template <typename Change>
  void Update(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(handles_);
  }

  // `wake(handles)` ends the waits of the calls under way; `release(handles)` closes the handles
  // once every loan is back. Both run under the lock. False when no port was open.
  template <typename Wake, typename Release>
  bool Close(Wake wake, Release release) {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return !closing_; });
    if (!open_) return false;
    closing_ = true;
    wake(handles_);
    idle_.wait(lock, [this] { return users_ == 0; });
    release(handles_);
    handles_ = Handles{};
    open_ = false;
    closing_ = false;
    idle_.notify_all();
    return true;
  }

 private:
  mutable std::mutex mutex_;      // owned by these loans: guards every field below
  std::condition_variable idle_;  // signalled when users_ drops to 0 or a Close ends
  Handles handles_{};
  bool open_ = false;
  bool closing_ = false;
  int users_ = 0;  // calls currently holding a loan
};

}  // namespace platform
