#pragma once

#include <unistd.h>

#include <cstdlib>

// Takes the identity of "nobody" while it lives when the tests run as the super-user, whom file
// permissions do not hold back. For an ordinary user it changes nothing.
class TUnprivileged {
 public:
  TUnprivileged() {
    if (::geteuid() != 0) return;
    groupDropped_ = ::setegid(kNobody) == 0;
    userDropped_ = groupDropped_ && ::seteuid(kNobody) == 0;
  }
  ~TUnprivileged() {
    // The rest of the test process needs its identity back; without it nothing is sound.
    if (userDropped_ && ::seteuid(0) != 0) std::abort();
    if (groupDropped_ && ::setegid(0) != 0) std::abort();
  }
  TUnprivileged(const TUnprivileged&) = delete;
  TUnprivileged& operator=(const TUnprivileged&) = delete;

  // Whether file permissions now apply.
  static bool PermissionsApply() { return ::geteuid() != 0; }

 private:
  static constexpr uid_t kNobody = 65534;
  bool groupDropped_ = false;
  bool userDropped_ = false;
};
