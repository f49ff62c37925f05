#include "platform/process/dispatch.h"

#include <pthread.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <csignal>
#include <set>

namespace talvex {

struct MainLoop::Impl {
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> guard = asio::make_work_guard(io);
};

MainLoop::MainLoop() : impl_(std::make_unique<Impl>()) {}
MainLoop::~MainLoop() = default;

void MainLoop::post(Work work) { asio::post(impl_->io, std::move(work)); }

void MainLoop::run() { impl_->io.run(); }

void MainLoop::stop() { impl_->io.stop(); }

struct SignalSource::Impl : std::enable_shared_from_this<SignalSource::Impl> {
  Impl(asio::io_context& io, int signo, Work handler)
      : set(io, signo), handler(std::move(handler)) {}

  void arm() {
    std::weak_ptr<Impl> self = weak_from_this();
    set.async_wait([self](const std::error_code& ec, int) {
      auto me = self.lock();
      if (!me || ec) return;
      me->handler();
      me->arm();
    });
  }

  asio::signal_set set;
  Work handler;
};

SignalSource::SignalSource(MainLoop& loop, int signo, Work handler) {
  sigset_t blocked;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  if (!sigismember(&blocked, signo)) ::signal(signo, SIG_IGN);
  impl_ = std::make_shared<Impl>(loop.impl_->io, signo, std::move(handler));
  impl_->arm();
}

SignalSource::~SignalSource() {
  std::error_code ignored;
  impl_->set.cancel(ignored);
}

BlockedSignals::BlockedSignals(std::initializer_list<int> signals) {
  sigemptyset(&set_);
  for (int signo : signals) sigaddset(&set_, signo);
  ::pthread_sigmask(SIG_BLOCK, &set_, nullptr);
}

BlockedSignals::~BlockedSignals() { unblock(); }

void BlockedSignals::unblock() {
  if (!blocked_) return;
  blocked_ = false;
  ::pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
}

struct SerialQueue::Impl {
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> guard = asio::make_work_guard(io);
  std::set<std::shared_ptr<asio::steady_timer>> timers;  // the queue's thread only
  std::thread thread;
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), impl_(std::make_unique<Impl>()) {
  impl_->thread = std::thread([this] {
    // Thread names are limited to 15 bytes; the tail of the label is the telling part.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(pthread_self(), name.c_str());
    impl_->io.run();
  });
}

SerialQueue::~SerialQueue() {
  asio::post(impl_->io, [impl = impl_.get()] {
    for (const auto& timer : impl->timers) timer->cancel();
  });
  impl_->guard.reset();
  if (impl_->thread.joinable()) impl_->thread.join();
}

void SerialQueue::async(Work work) { asio::post(impl_->io, std::move(work)); }

void SerialQueue::asyncAfter(std::chrono::milliseconds delay, Work work) {
  asio::post(impl_->io, [impl = impl_.get(), delay, work = std::move(work)]() mutable {
    auto timer = std::make_shared<asio::steady_timer>(impl->io, delay);
    impl->timers.insert(timer);
    timer->async_wait([impl, timer, work = std::move(work)](const std::error_code& ec) {
      impl->timers.erase(timer);
      if (!ec) work();
    });
  });
}

void SerialQueue::sync(const Work& work) {
  std::binary_semaphore done{0};
  asio::post(impl_->io, [&] {
    work();
    done.release();
  });
  done.acquire();
}

bool SerialQueue::isCurrent() const { return impl_->thread.get_id() == std::this_thread::get_id(); }

}  // namespace talvex
