// Status.h: the outcome of an internal operation, with its reason.
//
// The rule store's deeper operations (opening, migrating, purging,
// flushing) log each step in the words the host knows, but their caller
// only learned "failed".  A Status carries the cause up to the exported
// function, which logs it once, in one line, next to the status code it
// returns.  It converts to bool where a caller only asks "did it work".
#ifndef BRIX_STATUS_H_
#define BRIX_STATUS_H_

#include <string>
#include <utility>

namespace brix {

class Status {
 public:
  // Success.
  Status() = default;
  static Status OK() { return Status(); }
  // A failure; `reason` says what failed and why, for a log line.
  static Status Error(std::string reason) { return Status(std::move(reason)); }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  // Empty for success.
  const std::string& reason() const { return reason_; }

 private:
  explicit Status(std::string reason) : ok_(false), reason_(std::move(reason)) {}

  bool ok_ = true;
  std::string reason_;
};

}  // namespace brix

#endif  // BRIX_STATUS_H_
