#include "service/Endpoint.h"

#include "base/Logger.h"

namespace {

// A build without the HTTP endpoint: readiness is only logged.
class TEndpointStub : public TEndpointLink {
 public:
  std::string Start() override {
    LogMessage("No HTTP endpoint in this build", "Endpoint");
    return "";
  }
  void Stop() override {}
  void SetReady(bool Ready) override {
    if (Ready == FReady) return;
    FReady = Ready;
    LogMessage(Ready ? "ready" : "not ready", "Endpoint");
  }

 private:
  bool FReady = false;
};

}  // namespace

std::unique_ptr<TEndpointLink> CreateEndpointLink() { return std::make_unique<TEndpointStub>(); }
