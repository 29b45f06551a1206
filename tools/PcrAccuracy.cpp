#include "PcrAccuracy.h"

#include <cmath>

#include "stream/TsPacket.h"

namespace pelorin::tools {

void PcrAccuracy::push(Line& line, Point p) {
  line.points[line.next] = p;
  line.next = (line.next + 1) % line.points.size();
  if (line.count < line.points.size()) ++line.count;
}

// True when every point held lies on the chord from the oldest to the newest,
// kIntervals intervals long; sets the rate that chord measures.
bool PcrAccuracy::steady(const Line& line, double* ticksPerPacket) {
  if (line.count < line.points.size()) return false;
  const Point& first = line.at(0);
  const Point& last = line.at(line.count - 1);
  const double rate = static_cast<double>(PcrForward(first.value, last.value)) /
                      static_cast<double>(last.packet - first.packet);
  for (std::size_t i = 1; i + 1 < line.count; ++i) {
    const Point& p = line.at(i);
    const double off = static_cast<double>(PcrForward(first.value, p.value)) -
                       static_cast<double>(p.packet - first.packet) * rate;
    if (std::fabs(off) > kLimitTicks) return false;
  }
  *ticksPerPacket = rate;
  return true;
}

void PcrAccuracy::pcr(std::uint16_t pid, std::uint64_t value, std::uint64_t packet, bool newBase) {
  Line* line = nullptr;
  for (auto& l : lines_) {
    if (l.pid == pid) line = &l;
  }
  if (line == nullptr) {
    lines_.push_back(Line{});
    line = &lines_.back();
    line->pid = pid;
  }
  bool fresh = newBase || line->disturbances != disturbances_;
  line->disturbances = disturbances_;
  double rate = 0;
  if (!fresh && steady(*line, &rate)) {
    const Point& last = line->at(line->count - 1);
    const double predicted = static_cast<double>(packet - last.packet) * rate;
    // Signed, across the wrap: a value behind its prediction is as wrong as one ahead.
    const std::uint64_t step = PcrForward(last.value, value);
    const double off = (step < kPcrWrap / 2 ? static_cast<double>(step) : -static_cast<double>(kPcrWrap - step)) -
                       predicted;
    ++judged_;
    if (std::fabs(off) > kLimitTicks) {
      ++errors_;
      fresh = true;
    }
  }
  if (fresh) line->count = 0;
  push(*line, {packet, value});
}

}  // namespace pelorin::tools
