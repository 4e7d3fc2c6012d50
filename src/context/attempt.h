// The one way a step is allowed to fail without failing what it is part of.
#ifndef VELMO_CONTEXT_ATTEMPT_H_
#define VELMO_CONTEXT_ATTEMPT_H_

namespace velmo {

// Runs `step`, a part of an operation that goes on (or ends early, keeping what was done, or
// answers with a status of its own) when the part fails: the language read of a start-up, a
// configuration load that a document or the file system interrupts, a listener told of a switch
// already made, a parameter file that cannot be looked at. True when the step completed. Every
// other failure reaches the public class, which answers with the member's fallback.
template <typename Step>
bool Attempt(Step&& step) noexcept {
  try {
    step();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace velmo

#endif  // VELMO_CONTEXT_ATTEMPT_H_
