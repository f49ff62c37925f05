#include "platform/audio/pulse_connection.h"

namespace talvex::audio {

Result<std::shared_ptr<PulseConnection>> PulseConnection::connect(const std::string& clientName) {
  std::shared_ptr<PulseConnection> c(new PulseConnection());
  c->loop_.reset(pa_threaded_mainloop_new());
  if (!c->loop_) return Status::failure("cannot create the sound-server client loop");
  c->context_.reset(pa_context_new(pa_threaded_mainloop_get_api(c->loop()), clientName.c_str()));
  if (!c->context_) return Status::failure("cannot create the sound-server client");
  pa_context_set_state_callback(
      c->context(),
      [](pa_context*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
      },
      c->loop());
  if (pa_context_connect(c->context(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    return Status::failure(c->lastError());
  if (pa_threaded_mainloop_start(c->loop()) < 0)
    return Status::failure("cannot start the sound-server client loop");
  Lock lock(*c);
  while (true) {
    pa_context_state_t state = pa_context_get_state(c->context());
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return Status::failure(c->lastError());
    c->wait();
  }
  return c;
}

PulseConnection::~PulseConnection() {
  // Join the loop thread before the context goes: no callback may run during the release.
  if (loop_) pa_threaded_mainloop_stop(loop_.get());
  context_.reset();
  loop_.reset();
}

std::string PulseConnection::lastError() const {
  const int code = context_ ? pa_context_errno(context_.get()) : PA_ERR_INTERNAL;
  // A stream the server ended without giving a reason would otherwise be reported as "OK".
  if (code == PA_OK) return "the sound server ended the stream";
  return pa_strerror(code);
}

bool PulseConnection::await(OperationPtr op) {
  if (!op) return false;
  while (pa_operation_get_state(op.get()) == PA_OPERATION_RUNNING) wait();
  return pa_operation_get_state(op.get()) == PA_OPERATION_DONE;
}

}  // namespace talvex::audio
