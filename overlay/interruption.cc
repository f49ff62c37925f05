#include "overlay/interruption.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace talvex::overlay {

Interruption::Interruption() {
  sigemptyset(&set_);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
  ::pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  waiter_ = std::jthread([this](std::stop_token done) {
    // Woken now and then to see whether main is done with it.
    const timespec every{0, 100'000'000};
    while (!done.stop_requested()) {
      const int s = ::sigtimedwait(&set_, nullptr, &every);
      if (s > 0) {
        signal_ = s;
        stop_.request_stop();
        return;
      }
    }
  });
}

Interruption::~Interruption() {
  waiter_ = std::jthread();
  endIfInterrupted();
}

void Interruption::endIfInterrupted() {
  const int s = signal_.load();
  if (s == 0) return;
  // The signal's own action, which the waiting thread kept from happening.
  ::signal(s, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, s);
  ::raise(s);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
}

}  // namespace talvex::overlay
