#pragma once

#include <stdexcept>
#include <string>

namespace tivra::store::detail {

// Raised inside the engine when the files contradict themselves (a record number out of range,
// a cycle in a chain, a name chain without its text). Caught at every entry point, which then
// reports -1: an inconsistent entry reads as absent.
class Corrupt : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised when a store file cannot be read or written. The open store stays failed afterwards.
class IoFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tivra::store::detail
