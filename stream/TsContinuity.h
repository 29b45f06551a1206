// Continuity-counter checking as a decoder applies it (ISO/IEC 13818-1, 2.4.3.3),
// shared by the recorder's health figures, pelorin-check and pelorin-inspect,
// so all three count the same faults.
//
// - The null PID 0x1FFF is never checked.
// - Packets without payload (adaptation_field_control 00 or 10) do not advance
//   the counter and are not checked.
// - A packet repeating the previous counter of its PID is a duplicate; one is
//   allowed, a second one in a row is an error.
// - A discontinuity_indicator (in any packet of the PID) makes the next counter
//   the new reference without an error.
// - After an error the packet's own counter becomes the reference, so one lost
//   packet is one error.
#pragma once

#include <array>
#include <cstdint>

namespace pelorin {

enum class CcVerdict : std::uint8_t {
  Ok,          // in sequence, or the first packet of its PID, or after a discontinuity
  Error,       // out of sequence
  Duplicate,   // the one allowed repetition: carries nothing new
  NotChecked,  // null PID or no payload
};

class ContinuityTracker {
 public:
  ContinuityTracker() { reset(); }
  void reset();
  // `packet` is a whole 188-byte packet whose sync byte is good.
  CcVerdict check(const std::uint8_t* packet);
  // The counter PID `pid` took last, or -1 when it has no reference.
  int last(unsigned pid) const { return state_[pid].last; }
  // Makes `cc` the PID's reference, as if its packet had just come in sequence.
  void take(unsigned pid, int cc) { state_[pid] = State{static_cast<std::int8_t>(cc & 0x0F), false}; }

 private:
  struct State {
    std::int8_t last = -1;  // -1: no reference yet
    bool duplicated = false;
  };
  std::array<State, 8192> state_;
};

}  // namespace pelorin
