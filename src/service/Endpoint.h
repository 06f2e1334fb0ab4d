// The HTTP endpoint the browsers are pointed at, as the service drives it:
// started before anything is activated, told whether anonymity is ready
// (until it is, every request is answered with a 503 page and nothing goes
// out), stopped at the end.
#pragma once

#include <memory>
#include <string>

class TEndpointLink {
 public:
  virtual ~TEndpointLink() = default;
  // "" once it listens, otherwise why not (a port taken by another program:
  // the browsers must never be pointed there).
  virtual std::string Start() = 0;
  virtual void Stop() = 0;
  // From the service's one thread; cheap, called with every answer.
  virtual void SetReady(bool Ready) = 0;
};

// The HTTP endpoint on 127.0.0.1:35489 (service/HttpEndpoint.h), through
// the engine's SOCKS port 35491.
std::unique_ptr<TEndpointLink> CreateEndpointLink();
