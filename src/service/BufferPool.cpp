#include "service/BufferPool.h"

namespace service {

Block& Block::operator=(Block&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = other.pool_;
    bytes_ = std::move(other.bytes_);
    other.pool_ = nullptr;
  }
  return *this;
}

void Block::Release() {
  if (bytes_ != nullptr && pool_ != nullptr) pool_->Give(std::move(bytes_));
  bytes_.reset();
  pool_ = nullptr;
}

BufferPool::~BufferPool() = default;

Block BufferPool::Take() {
  Block block;
  block.pool_ = this;
  if (!free_.empty()) {
    block.bytes_ = std::move(free_.back());
    free_.pop_back();
  } else {
    // Not value-initialised: the bytes are always written before being read.
    block.bytes_.reset(new char[kBlockSize]);
  }
  const std::size_t now = counter_.in_use.fetch_add(1) + 1;
  std::size_t peak = counter_.peak.load();
  while (now > peak && !counter_.peak.compare_exchange_weak(peak, now)) {
  }
  return block;
}

void BufferPool::Give(std::unique_ptr<char[]> bytes) {
  counter_.in_use.fetch_sub(1);
  if (free_.size() < keep_) free_.push_back(std::move(bytes));
}

}  // namespace service
