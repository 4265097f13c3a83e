// Broken internal invariants. The engine reports them by throwing
// InvariantError; the binding turns one into the panic exception. They are
// never user errors (those are StoreError values) and never undefined
// behaviour.
#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

class InvariantError : public std::logic_error {
 public:
  InvariantError(std::string location, const std::string& message)
      : std::logic_error(message), location_(std::move(location)) {}
  // "file:line" of the failed check.
  const std::string& location() const noexcept { return location_; }

 private:
  std::string location_;
};

[[noreturn]] void invariant_failed(const char* file, int line, const std::string& message);

}  // namespace velmora

#define VELMORA_CHECK(cond, message)                                         \
  do {                                                                       \
    if (!(cond)) ::velmora::invariant_failed(__FILE__, __LINE__, (message)); \
  } while (0)
