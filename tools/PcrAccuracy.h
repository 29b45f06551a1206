// PCR accuracy (ETSI TR 101 290 2.4, PCR_accuracy_error): on a constant-rate
// multiplex every byte has its time, so a PCR's value follows from its
// position: the previous PCR of its PID plus the packets between them at the
// rate of the stretch before. A PCR further from that than 500 ns (and the
// tick of rounding each PCR value and the rate may carry) is an error.
//
// Judged only where the rate is constant: the last kIntervals intervals of
// the PID's PCRs all on one straight line of value against position, within
// the same limit. A variable-rate multiplex (PCRs by the pictures' time, the
// bytes between by their size) never is, so it is never judged, and judged()
// says so. Positions are counted in 188-byte packets, so RTP headers, RTP
// padding and 204-byte parity do not move them; every PCR sits at the same
// place in its packet, so counting packets loses nothing.
//
// A PCR that starts a new time base (flagged, or counted under 2.3b) starts
// the PID's line afresh, as does one after data lost, repeated or reordered
// on the way (a continuity error or duplicate, a bad sync byte, an RTP
// datagram out of sequence): the positions between are no longer the
// multiplexer's. So does a PCR counted here: bytes inserted or left out
// before it move every later PCR alike, one error for the lot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelorin::tools {

class PcrAccuracy {
 public:
  // ±500 ns in 27 MHz ticks, and a tick each for the rounding of the PCR
  // predicted from and of the one judged.
  static constexpr double kLimitTicks = 13.5 + 2;
  // Intervals on one line before the rate counts as constant.
  static constexpr std::size_t kIntervals = 10;

  // Data was lost, repeated or reordered here: every PID's next PCR starts afresh.
  void disturbed() { ++disturbances_; }

  // A PCR of `pid`, `value` in ticks, in packet number `packet` of the input;
  // `newBase` when it starts a new time base.
  void pcr(std::uint16_t pid, std::uint64_t value, std::uint64_t packet, bool newBase);

  std::uint64_t errors() const { return errors_; }
  // PCRs measured: 0 when the rate was never constant.
  std::uint64_t judged() const { return judged_; }

 private:
  struct Point {
    std::uint64_t packet;
    std::uint64_t value;
  };
  struct Line {
    std::uint16_t pid = 0;
    std::uint64_t disturbances = 0;  // the count at its last PCR
    std::size_t count = 0;           // points held, up to kIntervals + 1
    std::size_t next = 0;            // where the next point goes
    std::array<Point, kIntervals + 1> points{};
    const Point& at(std::size_t i) const {  // 0 the oldest held
      return points[(next + points.size() - count + i) % points.size()];
    }
  };

  static bool steady(const Line& line, double* ticksPerPacket);
  static void push(Line& line, Point p);

  std::vector<Line> lines_;  // one per PCR PID: a few
  std::uint64_t disturbances_ = 0;
  std::uint64_t errors_ = 0;
  std::uint64_t judged_ = 0;
};

}  // namespace pelorin::tools
