#pragma once
// The host's delivery objects on a service thread of their own, wired as
// the service wires them: window, port, registry, delivery and liveness.
#include <cstdint>
#include <memory>
#include <string>

#include "service/delivery.h"
#include "service/host_dispatch.h"
#include "service/host_test_support.h"
#include "service/host_window_port.h"
#include "service/liveness.h"
#include "subscribers/subscribers_info.h"

namespace kavor2::service::testing {

class DeliveryHost {
 public:
  DeliveryHost() {
    service_.Sync([this] {
      window_ = std::make_unique<HostWindow>(service_.loop(), [this](HostMessage& m) {
        RouteHostMessage(m, *delivery_, *liveness_);
      });
      port_ = std::make_unique<THostWindowPort>(*window_);
      registry_ = std::make_unique<subscribers::TSubscribersInfo>(service_.loop());
      registry_->SetWindow(port_.get());
      delivery_ = std::make_unique<TDelivery>(*registry_, *port_, log_);
      liveness_ = std::make_unique<TLiveness>(*registry_, *port_, log_, *delivery_);
      RouteCallResults(*registry_, *delivery_);
    });
  }
  ~DeliveryHost() {
    service_.Sync([this] {
      port_->Detach();
      window_->Destroy();
      registry_.reset();
      liveness_.reset();
      delivery_.reset();
    });
  }
  DeliveryHost(const DeliveryHost&) = delete;
  DeliveryHost& operator=(const DeliveryHost&) = delete;

  // A subscriber registered over 127.0.0.1:connection_port with its
  // callback server at 127.0.0.1:callback_port.
  subscribers::TSubscriber* Add(const std::string& name, std::int32_t connection_port, std::int32_t callback_port) {
    subscribers::TSubscriber* s = nullptr;
    service_.Sync([&] { s = &AddLoopbackSubscriber(*registry_, name, connection_port, callback_port); });
    return s;
  }
  void Post(std::uint32_t msg, std::int32_t connection_port) {
    port_->Post(msg, std::make_unique<TClientRecInfo>("127.0.0.1", connection_port));
  }
  bool Registered(std::int32_t connection_port) {
    bool found = false;
    service_.Sync([&] { found = registry_->FindByConnection("127.0.0.1", connection_port) != nullptr; });
    return found;
  }

  LoopThread service_;
  RecordingLog log_;
  std::unique_ptr<HostWindow> window_;
  std::unique_ptr<THostWindowPort> port_;
  std::unique_ptr<subscribers::TSubscribersInfo> registry_;
  std::unique_ptr<TDelivery> delivery_;
  std::unique_ptr<TLiveness> liveness_;
};

}  // namespace kavor2::service::testing
