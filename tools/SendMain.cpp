// pelorin-send: sends a bounded, verifiable test stream over UDP.
#include <sys/prctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <stdexcept>

#include "Sender.h"

namespace {

std::atomic<bool> gStop{false};

void onSignal(int) { gStop.store(true); }

}  // namespace

int main(int argc, char** argv) {
  using pelorin::tools::SendOptions;
  using pelorin::tools::StreamMode;

  SendOptions o;
  std::uint64_t count = 0;
  double duration = 0;
  bool json = false;
  bool progress = false;
  bool noLoop = false;
  std::string mode = "ts";

  CLI::App app{
      "Sends a test stream to a UDP multicast group (or unicast address) and stops by itself.\n"
      "Every datagram's bytes follow from its index, so pelorin-check can verify a recording byte by byte.\n"
      "Multicast goes out with TTL 0 on 127.0.0.1 unless told otherwise, so by default it never leaves this host.",
      "pelorin-send"};
  app.get_formatter()->column_width(34);
  app.footer(
      "Examples:\n"
      "  pelorin-send --group 239.1.1.1 --port 5000 --bitrate 10 --duration 5\n"
      "  pelorin-send --group 127.0.0.1 --port 5000 --mode raw --size 512 --rate 1000 --count 100\n"
      "  pelorin-send --group 239.1.1.1 --port 5000 --file capture.ts --duration 30\n"
      "  pelorin-send --group ff0e::1:2 --port 5000 --interface lo --rate 1000 --count 5000\n"
      "  pelorin-send --group 239.1.1.1 --port 5000 --rate 2000 --count 6000 --skip 777,4001 --pause-after 2000 "
      "--pause-ms 1500\n"
      "At the end one line goes to standard output:\n"
      "  sent N datagrams, B bytes in S.sss s (R Mbit/s)\n"
      "or, with --json, an object with datagrams, zero_datagrams, bytes, seconds, mbit_per_s, interrupted.");

  app.add_option("--group", o.group, "Multicast group, or a unicast address, IPv4 or IPv6, to send to")
      ->required()
      ->type_name("ADDR");
  app.add_option("--port", o.port, "UDP port (1..65535)")->required()->type_name("N");
  app.add_option("--interface", o.interfaceAddress, "Interface multicast leaves by: one of its addresses (an IPv6 one is also the source), or its name")
      ->type_name("ADDR")
      ->capture_default_str();
  app.add_option("--ttl", o.ttl, "Multicast TTL, 0..255 (0 keeps it on this host)")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(0, 255).description(""));

  auto* countOpt = app.add_option("--count", count, "Stop after N datagrams (zero-length extras not counted)")
                       ->type_name("N")
                       ->group("Bounds (at least one)");
  auto* durationOpt = app.add_option("--duration", duration, "Stop after SECONDS")
                          ->type_name("SECONDS")
                          ->group("Bounds (at least one)")
                          ->check(CLI::NonNegativeNumber.description(""));

  auto* bitrateOpt = app.add_option("--bitrate", o.bitrateMbit, "Pace at MBIT megabits of payload per second")
                         ->type_name("MBIT")
                         ->group("Pacing (default: as fast as possible)")
                         ->check(CLI::PositiveNumber.description(""));
  auto* rateOpt = app.add_option("--rate", o.rate, "Pace at N datagrams per second")
                      ->type_name("N")
                      ->group("Pacing (default: as fast as possible)")
                      ->check(CLI::PositiveNumber.description(""));
  auto* intervalOpt = app.add_option("--interval-ms", o.intervalMs, "Pace with MS milliseconds between datagrams")
                          ->type_name("MS")
                          ->group("Pacing (default: as fast as possible)")
                          ->check(CLI::PositiveNumber.description(""));
  bitrateOpt->excludes(rateOpt)->excludes(intervalOpt);
  rateOpt->excludes(intervalOpt);

  auto* modeOpt = app.add_option("--mode", mode,
                                 "ts: MPEG transport stream, 7 packets per datagram; raw: indexed datagrams of --size bytes")
                      ->type_name("ts|raw")
                      ->group("Content")
                      ->capture_default_str()
                      ->check(CLI::IsMember({"ts", "raw"}).description(""));
  auto* sizeOpt = app.add_option("--size", o.size, "Raw datagram size in bytes (0..65507)")
                      ->type_name("N")
                      ->group("Content")
                      ->capture_default_str()
                      ->check(CLI::Range(0, 65507).description(""));
  app.add_option("--zero-every", o.zeroEvery, "Also send a zero-length datagram after every K-th datagram")
      ->type_name("K")
      ->group("Content")
      ->check(CLI::PositiveNumber.description(""));
  auto* startOpt = app.add_option("--start-index", o.startIndex, "Index of the first datagram")
                       ->type_name("K")
                       ->group("Content")
                       ->capture_default_str();
  auto* fileOpt = app.add_option("--file", o.file,
                                 "Replay this transport stream file in 1316-byte datagrams, paced by its PCRs "
                                 "(or --bitrate/--rate/--interval-ms); it starts again from the top when it ends")
                      ->type_name("PATH")
                      ->group("Content");
  app.add_flag("--no-loop", noLoop, "With --file: stop at the end of the file")->group("Content")->needs(fileOpt);
  fileOpt->excludes(modeOpt)->excludes(sizeOpt)->excludes(startOpt);

  app.add_option("--skip", o.skip,
                 "Never send the datagrams with these indexes, as if lost on the way (they still count for --count)")
      ->type_name("I[,J...]")
      ->group("Network faults")
      ->delimiter(',');
  auto* pauseAfterOpt =
      app.add_option("--pause-after", o.pauseAfter, "Pause after the first N datagrams (skipped ones included)")
          ->type_name("N")
          ->group("Network faults");
  auto* pauseMsOpt = app.add_option("--pause-ms", o.pauseMs, "Send nothing for MS milliseconds in that pause")
                         ->type_name("MS")
                         ->group("Network faults")
                         ->check(CLI::PositiveNumber.description(""));
  pauseAfterOpt->needs(pauseMsOpt);
  pauseMsOpt->needs(pauseAfterOpt);
  auto* delayEveryOpt =
      app.add_option("--delay-every", o.delayEvery, "Hold back every N-th datagram (by index), as if delayed on the way")
          ->type_name("N")
          ->group("Network faults")
          ->check(CLI::PositiveNumber.description(""));
  auto* delayMsOpt = app.add_option("--delay-ms", o.delayMs, "Send each held-back datagram MS milliseconds late (up to 10000)")
                         ->type_name("MS")
                         ->group("Network faults")
                         ->check(CLI::Range(0.001, 10000.0).description(""));
  delayEveryOpt->needs(delayMsOpt);
  delayMsOpt->needs(delayEveryOpt);
  app.add_flag("--rtp", o.rtp,
               "Wrap each datagram in a 12-byte RTP header: payload type 33, sequence number = index mod 65536, "
               "90 kHz timestamp of the send time (zero-length extras stay empty)")
      ->group("Content");

  app.add_flag("--json", json, "Print the summary as one JSON object")->group("Output");
  app.add_flag("--progress", progress, "Report progress on standard error every second (default: only on a terminal)")
      ->group("Output");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  if (countOpt->count() > 0) o.count = count;
  if (durationOpt->count() > 0) o.duration = duration;
  o.mode = mode == "raw" ? StreamMode::Raw : StreamMode::Ts;
  if (sizeOpt->count() > 0 && o.mode != StreamMode::Raw) {
    std::cerr << "pelorin-send: --size applies to --mode raw only\n";
    return 2;
  }
  o.loop = !noLoop;
  if (progress || ::isatty(STDERR_FILENO)) {
    o.progress = [](std::uint64_t datagrams, std::uint64_t bytes, double seconds) {
      std::fprintf(stderr, "pelorin-send: %.0f s, %llu datagrams, %.2f Mbit/s\n", seconds,
                   static_cast<unsigned long long>(datagrams),
                   seconds > 0 ? static_cast<double>(bytes) * 8.0 / seconds / 1e6 : 0.0);
    };
  }

  // Sleeps between batches should end when asked, not up to 50 us later.
  (void)::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);

  try {
    const auto stats = pelorin::tools::runSender(o, &gStop);
    std::cout << (json ? pelorin::tools::summaryJson(stats) : pelorin::tools::summaryLine(stats)) << std::endl;
    return stats.interrupted ? 130 : 0;
  } catch (const std::invalid_argument& e) {
    std::cerr << "pelorin-send: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "pelorin-send: " << e.what() << "\n";
    return 1;
  }
}
