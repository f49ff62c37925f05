#include "platform/media/camera/pipewire_connection.h"

#include <pipewire/impl-module.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace talvex::media {
namespace {

int waitMillis(PwDeadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return int(std::clamp<int64_t>(left.count(), 0, 100));
}

}  // namespace

PipewireConnection::Library::Library() {
  pw_init(nullptr, nullptr);
  // The library writes its warnings to standard error, where the parent reads our lines.
  pw_log_set_level(SPA_LOG_LEVEL_NONE);
}

PipewireConnection::Library::~Library() { pw_deinit(); }

PipewireConnection::PipewireConnection() {
  coreEvents_.version = PW_VERSION_CORE_EVENTS;
  coreEvents_.done = &PipewireConnection::onCoreDone;
  coreEvents_.error = &PipewireConnection::onCoreError;
}

PipewireConnection::~PipewireConnection() {
  if (core_) spa_hook_remove(&coreListener_);
}

void PipewireConnection::onCoreDone(void* self, uint32_t id, int seq) {
  auto* c = static_cast<PipewireConnection*>(self);
  if (id == PW_ID_CORE && seq == c->syncSeq_) c->synced_ = true;
}

void PipewireConnection::onCoreError(void* self, uint32_t id, int, int res, const char*) {
  // Errors about other objects (a node that failed) are their owners' business.
  if (id == PW_ID_CORE && res < 0) static_cast<PipewireConnection*>(self)->failure_ = res;
}

Result<std::unique_ptr<PipewireConnection>> PipewireConnection::connect(PwDeadline deadline,
                                                                        Purpose purpose,
                                                                        int* refusal) {
  using R = Result<std::unique_ptr<PipewireConnection>>;
  if (refusal) *refusal = 0;
  std::unique_ptr<PipewireConnection> c(new PipewireConnection());
  c->loop_.reset(pw_loop_new(nullptr));
  if (!c->loop_) return R::failure(std::strerror(errno));
  // Only what this client uses: the client configuration would load six modules, and the
  // session bus support three more libraries, before we even know whether a daemon is there.
  c->context_.reset(pw_context_new(
      c->loop_.get(),
      pw_properties_new(PW_KEY_CONFIG_NAME, "null", "support.dbus", "false", nullptr), 0));
  if (!c->context_) return R::failure(std::strerror(errno));
  if (!pw_context_load_module(c->context_.get(), "libpipewire-module-protocol-native", nullptr,
                              nullptr) ||
      (purpose == Purpose::Stream &&
       !pw_context_load_module(c->context_.get(), "libpipewire-module-client-node", nullptr,
                               nullptr)))
    return R::failure(std::string("PipeWire: ") + std::strerror(errno));
  c->core_.reset(pw_context_connect(c->context_.get(), nullptr, 0));
  if (!c->core_) {
    const int e = errno;
    if (refusal && (e == EACCES || e == EPERM)) *refusal = e;
    return R::failure(std::string("PipeWire: ") + std::strerror(e));
  }
  pw_core_add_listener(c->core_.get(), &c->coreListener_, &c->coreEvents_, c.get());
  if (Status s = c->roundtrip(deadline); !s) {
    const int e = -c->failure_;
    if (refusal && (e == EACCES || e == EPERM)) *refusal = e;
    return R::failure(s.message());
  }
  return c;
}

Status PipewireConnection::runUntil(const std::function<bool()>& done, PwDeadline deadline) {
  pw_loop_enter(loop_.get());
  Status result = Status::ok();
  for (;;) {
    if (failure_) {
      result = Status::failure(std::string("PipeWire: ") + std::strerror(-failure_));
      break;
    }
    if (done()) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result = Status::failure("PipeWire did not answer in time");
      break;
    }
    pw_loop_iterate(loop_.get(), waitMillis(deadline));
  }
  pw_loop_leave(loop_.get());
  return result;
}

Status PipewireConnection::roundtrip(PwDeadline deadline) {
  synced_ = false;
  syncSeq_ = pw_core_sync(core_.get(), PW_ID_CORE, 0);
  return runUntil([this] { return synced_; }, deadline);
}

}  // namespace talvex::media
