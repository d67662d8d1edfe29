// Fault-injection seam of the test build: makes chosen system calls and heap
// requests fail on demand. Compiled empty in the shipped library.
#include "sc_os.h"

#if KELV_SYS_TESTING

namespace kelv::sys::fault {
namespace {

struct Plan {
  unsigned skip;   // calls still to let through
  unsigned count;  // calls still to fail after that
  int err;         // errno of a failed call
  unsigned calls;  // calls seen since arming
};

Plan plans[static_cast<unsigned>(Op::kCount)];

}  // namespace

unsigned armed_mask = 0;

bool fire(Op op) {
  Plan &p = plans[static_cast<unsigned>(op)];
  ++p.calls;
  if (p.skip > 0) {
    --p.skip;
    return false;
  }
  if (p.count == 0) return false;
  --p.count;
  errno = p.err;
  return true;
}

void arm(Op op, unsigned skip, unsigned count, int err) {
  plans[static_cast<unsigned>(op)] = Plan{skip, count, err, 0};
  armed_mask |= 1u << static_cast<unsigned>(op);
}

unsigned calls(Op op) { return plans[static_cast<unsigned>(op)].calls; }

void disarm_all() {
  armed_mask = 0;
  for (Plan &p : plans) p = Plan{};
}

}  // namespace kelv::sys::fault

#endif
