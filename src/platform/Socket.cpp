// Socket code shared by both implementations.
#include "platform/Socket.h"

namespace platform {

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : handle_(other.handle_) {
  other.handle_ = kInvalid;
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

TcpSocket::~TcpSocket() { Close(); }

TcpListener::~TcpListener() { Close(); }

}  // namespace platform
