#include "platform/media/camera/pipewire_cameras.h"

#include <spa/param/param.h>
#include <spa/utils/dict.h>

#include <cstring>
#include <map>
#include <memory>

#include "platform/media/camera/pipewire_connection.h"
#include "platform/media/camera/pipewire_format.h"

namespace talvex::media {
namespace {

bool equals(const char* a, const char* b) { return a && b && std::strcmp(a, b) == 0; }

// What the registry has told us so far, and the formats the bound output ports answered with.
// Lifecycle: one per listing, on the stack; the proxies it binds die with it. Threading: the
// thread that runs the connection's events.
class Registry {
 public:
  explicit Registry(pw_core* core) : registry_(pw_core_get_registry(core, PW_VERSION_REGISTRY, 0)) {
    registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents_.global = &Registry::onGlobal;
    portEvents_.version = PW_VERSION_PORT_EVENTS;
    portEvents_.param = &Registry::onParam;
    if (registry_)
      pw_registry_add_listener(registry_.get(), &registryListener_, &registryEvents_, this);
  }
  ~Registry() {
    for (auto& [id, port] : ports_) spa_hook_remove(&port.listener);
    if (registry_) spa_hook_remove(&registryListener_);
  }
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  bool ok() const { return registry_ != nullptr; }
  const std::vector<PipewireCameraNode>& cameras() const { return cameras_; }

  // Binds the first output port of every readable camera and asks it for its formats; the
  // answers come as events before the next roundtrip completes.
  void askFormats() {
    for (const PipewireCameraNode& node : cameras_) {
      if (!node.readable) continue;
      auto out = outputPorts_.find(node.id);
      if (out == outputPorts_.end()) continue;
      Port& port = ports_[node.id];
      port.proxy.reset(pw_registry_bind(registry_.get(), out->second, PW_TYPE_INTERFACE_Port,
                                        PW_VERSION_PORT, 0));
      if (!port.proxy) continue;
      auto* p = static_cast<pw_port*>(port.proxy.get());
      port.owner = this;
      port.nodeId = node.id;
      pw_port_add_listener(p, &port.listener, &portEvents_, &port);
      pw_port_enum_params(p, 0, SPA_PARAM_EnumFormat, 0, UINT32_MAX, nullptr);
    }
  }

  // The cameras with the mode each answered with: those we may read but that offer nothing we
  // read are left out.
  std::vector<PipewireCameraNode> result() const {
    std::vector<PipewireCameraNode> out;
    for (PipewireCameraNode node : cameras_) {
      if (node.readable) {
        auto port = ports_.find(node.id);
        if (port == ports_.end()) continue;
        node.mode = chooseCaptureMode(port->second.modes);
        if (!node.mode) continue;
      }
      out.push_back(std::move(node));
    }
    return out;
  }

 private:
  struct Port {
    Registry* owner = nullptr;
    uint32_t nodeId = 0;
    std::unique_ptr<void, PwProxyDeleter> proxy;
    spa_hook listener{};
    std::vector<CaptureMode> modes;
  };

  static void onGlobal(void* self, uint32_t id, uint32_t permissions, const char* type, uint32_t,
                       const spa_dict* props) {
    auto* r = static_cast<Registry*>(self);
    if (!props) return;
    if (equals(type, PW_TYPE_INTERFACE_Node) &&
        equals(spa_dict_lookup(props, PW_KEY_MEDIA_CLASS), "Video/Source") &&
        equals(spa_dict_lookup(props, PW_KEY_MEDIA_ROLE), "Camera")) {
      PipewireCameraNode node;
      node.id = id;
      const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
      node.serial = serial ? serial : std::to_string(id);
      node.readable = (permissions & PW_PERM_R) != 0;
      r->cameras_.push_back(std::move(node));
    } else if (equals(type, PW_TYPE_INTERFACE_Port) &&
               equals(spa_dict_lookup(props, PW_KEY_PORT_DIRECTION), "out")) {
      const char* node = spa_dict_lookup(props, PW_KEY_NODE_ID);
      if (node) r->outputPorts_.emplace(uint32_t(std::strtoul(node, nullptr, 10)), id);
    }
  }

  static void onParam(void* self, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    auto* port = static_cast<Port*>(self);
    if (id != SPA_PARAM_EnumFormat) return;
    for (const CaptureMode& m : pipewireCaptureModes(param)) port->modes.push_back(m);
  }

  std::unique_ptr<pw_registry, PwProxyDeleter> registry_;
  pw_registry_events registryEvents_{};
  pw_port_events portEvents_{};
  spa_hook registryListener_{};
  std::vector<PipewireCameraNode> cameras_;
  std::map<uint32_t, uint32_t> outputPorts_;  // node id to its first output port's id
  std::map<uint32_t, Port> ports_;            // by node id
};

}  // namespace

PipewireCameras listPipewireCameras(PipewireConnection& connection,
                                    std::chrono::steady_clock::time_point deadline) {
  PipewireCameras found;
  found.reachable = true;
  Registry registry(connection.core());
  // The first roundtrip brings every global, the second the formats of the ports.
  if (!registry.ok() || !connection.roundtrip(deadline)) return found;
  registry.askFormats();
  if (!connection.roundtrip(deadline)) return found;
  found.nodes = registry.result();
  return found;
}

PipewireCameras findPipewireCameras(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  PipewireCameras none;
  auto connection =
      PipewireConnection::connect(deadline, PipewireConnection::Purpose::Look, &none.refusal);
  if (!connection) return none;
  return listPipewireCameras(*connection.value(), deadline);
}

}  // namespace talvex::media
