// pelorin-check: verifies a recording of the pelorin-send test stream.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "StreamCheck.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kBlockBytes = 8 * 1024 * 1024;

}  // namespace

int main(int argc, char** argv) {
  using namespace pelorin::tools;

  CheckOptions o;
  std::string mode = "ts";
  std::string path;
  bool json = false;
  std::uint64_t expectFirst = 0;
  std::uint64_t expectCount = 0;

  CLI::App app{
      "Verifies a recording of the pelorin-send test stream: reads it as datagram-sized records, regenerates\n"
      "each record from the index it carries and compares byte by byte. Reports gaps, duplicates, reordering,\n"
      "corruption, a partial record at the end and, in ts mode, continuity-counter and sync-byte errors.",
      "pelorin-check"};
  app.get_formatter()->column_width(30);
  app.footer(
      "Prints one verdict line (or one JSON object with --json: ok, mode, record_size, datagrams, first, last,\n"
      "gaps, missing, duplicates, out_of_order, corrupt, unexpected, trailing_bytes, cc_errors, sync_errors).\n"
      "Exit status: 0 OK, 1 FAIL, 2 usage or I/O error.");
  app.add_option("FILE", path, "Recording to check ('-' reads standard input)")->required()->type_name("");
  app.add_option("--mode", mode, "Stream the recording holds: ts (1316-byte records) or raw (--size records)")
      ->type_name("ts|raw")
      ->capture_default_str()
      ->check(CLI::IsMember({"ts", "raw"}).description(""));
  auto* sizeOpt = app.add_option("--size", o.rawSize, "Raw record size in bytes (1..65507)")
                      ->type_name("N")
                      ->capture_default_str()
                      ->check(CLI::Range(1, 65507).description(""));
  auto* firstOpt = app.add_option("--expect-first", expectFirst, "FAIL unless the recording starts at index K")->type_name("K");
  auto* countOpt = app.add_option("--expect-count", expectCount, "FAIL unless the recording holds exactly N datagrams")->type_name("N");
  app.add_flag("--json", json, "Print one JSON object instead of the verdict line");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  o.mode = mode == "raw" ? StreamMode::Raw : StreamMode::Ts;
  if (sizeOpt->count() > 0 && o.mode != StreamMode::Raw) {
    std::cerr << "pelorin-check: --size applies to --mode raw only\n";
    return kExitUsage;
  }
  if (firstOpt->count() > 0) o.expectFirst = expectFirst;
  if (countOpt->count() > 0) o.expectCount = expectCount;

  int fd = STDIN_FILENO;
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::cerr << "pelorin-check: " << path << ": " << std::strerror(errno) << "\n";
      return kExitUsage;
    }
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }

  StreamChecker checker(o);
  // Whole records per block, so only pipes ever split one.
  const std::size_t record = checker.recordSize();
  std::vector<std::uint8_t> block(std::max<std::size_t>(1, kBlockBytes / record) * record);
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      std::cerr << "pelorin-check: " << path << ": " << std::strerror(errno) << "\n";
      return kExitUsage;
    }
    checker.feed(block.data(), static_cast<std::size_t>(n));
  }
  if (fd != STDIN_FILENO) ::close(fd);

  const CheckResult result = checker.finish();
  std::cout << (json ? toJson(result) : verdictLine(result)) << std::endl;
  return result.ok ? kExitOk : kExitFail;
}
