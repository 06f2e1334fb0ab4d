#include "service/Endpoint.h"

#include "base/Endpoints.h"
#include "base/Logger.h"
#include "service/HttpEndpoint.h"

namespace {

// The forward proxy on 127.0.0.1:35489, carrying requests through the
// engine's SOCKS port; until it is told "ready", every request gets the
// 503 page and nothing reaches the SOCKS port.
class THttpEndpointLink : public TEndpointLink {
 public:
  THttpEndpointLink() : FEndpoint(Config()) {}

  std::string Start() override {
    const std::string error = FEndpoint.Start();
    if (error.empty()) {
      LogMessage("Listening on " + std::string(endpoints::kLoopbackHost) + ":" +
                     std::to_string(FEndpoint.Port()),
                 "Endpoint");
    }
    return error;
  }
  void Stop() override {
    const service::HttpEndpointStats stats = FEndpoint.Stats();
    FEndpoint.Stop();
    LogMessage("Stopped after " + std::to_string(stats.accepted) + " browser connections (" +
                   std::to_string(stats.refused_busy) + " refused at the limit)",
               "Endpoint");
  }
  void SetReady(bool Ready) override {
    if (Ready == FReady) return;
    FReady = Ready;
    FEndpoint.SetReady(Ready);
    LogMessage(Ready ? "ready: requests go through the engine"
                     : "not ready: every request is answered 503",
               "Endpoint");
  }

 private:
  static service::HttpEndpointConfig Config() {
    service::HttpEndpointConfig config;
    config.listen_port = endpoints::kHttpEndpointPort;
    config.socks_host = endpoints::kLoopbackHost;
    config.socks_port = endpoints::kEngineSocksPort;
    return config;
  }

  service::HttpEndpoint FEndpoint;
  bool FReady = false;
};

}  // namespace

std::unique_ptr<TEndpointLink> CreateEndpointLink() {
  return std::make_unique<THttpEndpointLink>();
}
