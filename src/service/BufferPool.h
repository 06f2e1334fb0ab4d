// Fixed-size blocks for bytes in flight, shared by the connections of one
// network thread. A connection holds a block only while it moves bytes, not
// while it waits for them, so idle connections and open tunnels cost no
// buffer memory, and a busy one never more than one block per direction.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace service {

// Counts blocks across all pools of an endpoint (any thread may read it).
struct BlockCounter {
  std::atomic<std::size_t> in_use{0};
  std::atomic<std::size_t> peak{0};
};

class BufferPool;

// A block taken from a pool; it goes back when released or destroyed.
class Block {
 public:
  Block() = default;
  Block(Block&& other) noexcept : pool_(other.pool_), bytes_(std::move(other.bytes_)) {
    other.pool_ = nullptr;
  }
  Block& operator=(Block&& other) noexcept;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { Release(); }

  char* data() const { return bytes_.get(); }
  explicit operator bool() const { return bytes_ != nullptr; }
  void Release();

 private:
  friend class BufferPool;
  BufferPool* pool_ = nullptr;
  std::unique_ptr<char[]> bytes_;
};

// Not thread-safe: one pool per network thread.
class BufferPool {
 public:
  static constexpr std::size_t kBlockSize = 64 * 1024;

  BufferPool(BlockCounter& counter, std::size_t keep_free) : counter_(counter), keep_(keep_free) {}
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  Block Take();

 private:
  friend class Block;
  void Give(std::unique_ptr<char[]> bytes);

  BlockCounter& counter_;
  std::size_t keep_;
  std::vector<std::unique_ptr<char[]>> free_;
};

}  // namespace service
