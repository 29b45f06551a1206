// pelorin-inspect: checks any MPEG transport stream recording, plain or RTP-wrapped.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "Inspect.h"
#include "InspectOutput.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitErrors = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kBlockBytes = 8 * 1024 * 1024;
constexpr std::size_t kOutBytes = 4 * 1024 * 1024;
constexpr off_t kProgressFrom = 256 * 1024 * 1024;  // smaller files are done before it would help

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pelorin::tools;

  std::string path;
  std::string stripPath;
  bool json = false;
  InspectOptions options;

  CLI::App app{
      "Checks an MPEG transport stream recording, plain or RTP-wrapped (found by itself), against\n"
      "ETSI TR 101 290 priority 1 (TS_sync_loss, Sync_byte_error, PAT_error, Continuity_count_error,\n"
      "PMT_error, PID_error) and, from priority 2, CRC_error (PAT, PMT), PCR_repetition_error,\n"
      "PCR_discontinuity_indicator_error and PCR_accuracy_error. Reports packets, continuity errors and\n"
      "bit rate per PID, the duration by the PCR, and RTP sequence gaps.",
      "pelorin-inspect"};
  app.get_formatter()->column_width(30);
  app.footer(
      "Examples:\n"
      "  pelorin-inspect rec.ts\n"
      "  pelorin-inspect --json rec.ts\n"
      "  pelorin-inspect --strip-rtp plain.ts rtp-rec.ts\n"
      "  cat rec.ts | pelorin-inspect -\n"
      "Time-based checks run on the stream's clock: PCRs, with the bytes between them placed by\n"
      "interpolation. When the clock's PID stops, another PID's PCRs carry it on, or else the last rate\n"
      "(the report says for how long). PAT and each PMT at least every 0.5 s, each PID a PMT names at\n"
      "least every --pid-timeout seconds, PCRs at most 40 ms apart. PCR accuracy (500 ns) is judged only\n"
      "where the rate between PCRs is constant. Without any PCR they are off, and the report says so.\n"
      "Exit status: 0 no priority-1 error, 1 priority-1 errors found or no packet at all, 2 usage or I/O\n"
      "error.");
  app.add_option("FILE", path, "Recording to check ('-' reads standard input)")->required()->type_name("");
  app.add_flag("--json", json, "Print one JSON object instead of the report");
  app.add_option("--strip-rtp", stripPath, "Also write the plain transport stream (every packet, no RTP headers) to OUT")
      ->type_name("OUT");
  std::string pidTimeout = "5";
  app.add_option("--pid-timeout", pidTimeout,
                 "PID_error when a PID a PMT names is absent for longer than SECONDS")
      ->type_name("SECONDS")
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  {
    // nan would turn the check off without a word, and inf would never fire.
    char* end = nullptr;
    options.pidTimeoutSeconds = std::strtod(pidTimeout.c_str(), &end);
    if (pidTimeout.empty() || *end != '\0' || !std::isfinite(options.pidTimeoutSeconds) ||
        options.pidTimeoutSeconds <= 0) {
      std::cerr << "pelorin-inspect: --pid-timeout takes a number of seconds above 0, not '" << pidTimeout << "'\n";
      return kExitUsage;
    }
  }

  int fd = STDIN_FILENO;
  struct stat in {};
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::cerr << "pelorin-inspect: " << path << ": " << std::strerror(errno) << "\n";
      return kExitUsage;
    }
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  if (::fstat(fd, &in) != 0 || S_ISDIR(in.st_mode)) {
    std::cerr << "pelorin-inspect: " << path << ": " << (S_ISDIR(in.st_mode) ? "is a directory" : std::strerror(errno))
              << "\n";
    return kExitUsage;
  }

  Inspector inspector(options);
  int outFd = -1;
  std::vector<std::uint8_t> out;
  bool outFailed = false;
  int outErrno = 0;
  if (!stripPath.empty()) {
    struct stat existing {};
    if (::stat(stripPath.c_str(), &existing) == 0 && existing.st_dev == in.st_dev && existing.st_ino == in.st_ino) {
      std::cerr << "pelorin-inspect: --strip-rtp " << stripPath << " is the file being read\n";
      return kExitUsage;
    }
    outFd = ::open(stripPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (outFd < 0) {
      std::cerr << "pelorin-inspect: " << stripPath << ": " << std::strerror(errno) << "\n";
      return kExitUsage;
    }
    out.reserve(kOutBytes);
    inspector.setPacketSink([&](const std::uint8_t* packet) {
      out.insert(out.end(), packet, packet + 188);
      if (out.size() + 188 > kOutBytes) {
        if (!outFailed && !writeAll(outFd, out.data(), out.size())) {
          outFailed = true;
          outErrno = errno;
        }
        out.clear();
      }
    });
  }

  const bool progress = ::isatty(STDERR_FILENO) && S_ISREG(in.st_mode) && in.st_size >= kProgressFrom;
  auto nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  std::uint64_t done = 0;

  // The analyser leaves its look-ahead unconsumed; it moves to the front of the next block.
  std::vector<std::uint8_t> block(kBlockBytes + Inspector::kLookahead);
  std::size_t held = 0;
  for (;;) {
    const ssize_t n = ::read(fd, block.data() + held, block.size() - held);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (progress) std::fputs("\r\033[K", stderr);
      std::cerr << "pelorin-inspect: " << path << ": " << std::strerror(errno) << "\n";
      return kExitUsage;
    }
    const std::size_t size = held + static_cast<std::size_t>(n);
    const std::size_t used = inspector.scan(block.data(), size, n == 0);
    held = size - used;
    if (held > 0) std::memmove(block.data(), block.data() + used, held);
    if (n == 0) break;
    done += static_cast<std::uint64_t>(n);
    if (progress && std::chrono::steady_clock::now() >= nextProgress) {
      nextProgress += std::chrono::milliseconds(500);
      std::fprintf(stderr, "\rpelorin-inspect: %llu of %llu MB (%.0f%%)\033[K", done / 1000000ull,
                   static_cast<unsigned long long>(in.st_size) / 1000000ull,
                   100.0 * static_cast<double>(done) / static_cast<double>(in.st_size));
    }
  }
  if (progress) std::fputs("\r\033[K", stderr);
  if (fd != STDIN_FILENO) ::close(fd);

  const InspectReport report = inspector.finish();
  if (outFd >= 0) {
    if (!outFailed && (!writeAll(outFd, out.data(), out.size()) || ::close(outFd) != 0)) {
      outFailed = true;
      outErrno = errno;
    }
    if (outFailed) {
      std::cerr << "pelorin-inspect: " << stripPath << ": " << std::strerror(outErrno) << "\n";
      return kExitUsage;
    }
  }
  std::cout << (json ? toJson(report) : toText(report)) << std::endl;
  return report.ok() ? kExitOk : kExitErrors;
}
