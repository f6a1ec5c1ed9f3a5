#pragma once

// An open file descriptor that closes itself.

#include <cerrno>
#include <unistd.h>

#include <utility>

namespace orvik_tool {

/// Owns one open file descriptor, or none (-1); closes it when it goes out of scope, where a
/// failure to close can no longer be reported. Files written through it are closed with
/// `close`, which reports that failure.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  Descriptor(Descriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(descriptor_, other.descriptor_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
    }
  }

  int get() const { return descriptor_; }
  explicit operator bool() const { return descriptor_ >= 0; }

  /// Closes the descriptor; returns 0, or the `errno` of a failed close.
  int close() {
    const int descriptor = std::exchange(descriptor_, -1);
    return descriptor < 0 || ::close(descriptor) == 0 ? 0 : errno;
  }

private:
  int descriptor_ = -1;
};

} // namespace orvik_tool
