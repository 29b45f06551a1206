// Sends a few datagrams to 127.0.0.1 on an ephemeral port and receives them here.
#include "Sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "StreamCheck.h"
#include "TsStreams.h"

using namespace pelorin::tools;

namespace {

class LoopbackReceiver {
 public:
  LoopbackReceiver() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int buf = 8 * 1024 * 1024;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackReceiver() { ::close(fd_); }
  std::uint16_t port() const { return port_; }

  // Everything queued, stopping once nothing arrives for a moment.
  std::vector<std::vector<std::uint8_t>> drain() {
    std::vector<std::vector<std::uint8_t>> out;
    std::vector<std::uint8_t> buf(70000);
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, 200) > 0) {
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n < 0) break;
      out.emplace_back(buf.begin(), buf.begin() + n);
    }
    return out;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

SendOptions loopback(std::uint16_t port) {
  SendOptions o;
  o.group = "127.0.0.1";
  o.port = port;
  return o;
}

}  // namespace

TEST(SenderLoopback, TsStreamArrivesByteExactWithZeroLengthExtras) {
  LoopbackReceiver rx;
  SendOptions o = loopback(rx.port());
  o.count = 40;
  o.zeroEvery = 8;
  o.startIndex = 30;  // crosses the PSI datagram at 32
  const SendStats stats = runSender(o);
  EXPECT_EQ(stats.datagrams, 40u);
  EXPECT_EQ(stats.zeroDatagrams, 5u);
  EXPECT_EQ(stats.bytes, 40u * kTsDatagramSize);

  const auto got = rx.drain();
  ASSERT_EQ(got.size(), 45u);
  StreamChecker checker({StreamMode::Ts, 0, 30, 40});
  std::size_t numbered = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (i % 9 == 8) {
      EXPECT_TRUE(got[i].empty()) << i;
      continue;
    }
    std::vector<std::uint8_t> expected(kTsDatagramSize);
    writeTsDatagram(30 + numbered++, expected.data());
    ASSERT_EQ(got[i], expected) << i;
    checker.feed(got[i].data(), got[i].size());
  }
  EXPECT_TRUE(checker.finish().ok);
}

TEST(SenderLoopback, SkipsPausesAndRtpHeaders) {
  // Plain and RTP-wrapped: the skipped indexes never arrive, the others keep
  // their own bytes (so the receiver sees the gaps), and the pause holds
  // the rest back for its whole length.
  for (const bool rtp : {false, true}) {
    SCOPED_TRACE(rtp ? "rtp" : "plain");
    LoopbackReceiver rx;
    SendOptions o = loopback(rx.port());
    o.count = 12;
    o.startIndex = 65534;  // the sequence number wraps
    o.skip = {65540, 65536};
    o.pauseAfter = 5;
    o.pauseMs = 150;
    o.rtp = rtp;
    const SendStats stats = runSender(o);
    EXPECT_EQ(stats.datagrams, 10u);
    EXPECT_EQ(stats.skipped, 2u);
    EXPECT_GE(stats.seconds, 0.15);
    const std::size_t header = rtp ? kRtpHeaderSize : 0;
    EXPECT_EQ(stats.bytes, 10u * (header + kTsDatagramSize));

    const auto got = rx.drain();
    ASSERT_EQ(got.size(), 10u);
    std::size_t j = 0;
    for (std::uint64_t k = 65534; k < 65534 + 12; ++k) {
      if (k == 65536 || k == 65540) continue;
      const auto& d = got[j++];
      ASSERT_EQ(d.size(), header + kTsDatagramSize) << k;
      if (rtp) {
        EXPECT_EQ(d[0], 0x80) << k;
        EXPECT_EQ(d[1], kRtpPayloadType) << k;
        EXPECT_EQ((d[2] << 8) | d[3], static_cast<int>(k & 0xFFFF)) << k;
        EXPECT_EQ(getBe64(d.data() + 4) & 0xFFFFFFFF, kRtpSsrc) << k;
      }
      std::vector<std::uint8_t> expected(kTsDatagramSize);
      writeTsDatagram(k, expected.data());
      EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + static_cast<std::ptrdiff_t>(header), d.end()), expected) << k;
    }
  }
}

TEST(SenderLoopback, TsStreamEndsAtTheLastIndexTheCheckerCanRead) {
  LoopbackReceiver rx;
  SendOptions o = loopback(rx.port());
  o.startIndex = kMaxTsIndex - 2;
  o.count = 10;
  EXPECT_EQ(runSender(o).datagrams, 3u);
  const auto got = rx.drain();
  ASSERT_EQ(got.size(), 3u);
  StreamChecker checker({StreamMode::Ts, 0, kMaxTsIndex - 2, 3});
  for (const auto& d : got) checker.feed(d.data(), d.size());
  EXPECT_TRUE(checker.finish().ok);
}

TEST(SenderLoopback, RawSizesFromZeroToTheLargest) {
  LoopbackReceiver rx;
  SendOptions o = loopback(rx.port());
  o.mode = StreamMode::Raw;
  o.count = 3;
  o.size = 0;
  o.rate = 1000;  // the paced path, bounded by count
  EXPECT_EQ(runSender(o).datagrams, 3u);
  auto got = rx.drain();
  ASSERT_EQ(got.size(), 3u);
  for (const auto& d : got) EXPECT_TRUE(d.empty());

  o.rate = 0;
  o.size = kMaxUdpPayload;
  o.startIndex = 1ull << 40;
  EXPECT_EQ(runSender(o).bytes, 3u * kMaxUdpPayload);
  got = rx.drain();
  ASSERT_EQ(got.size(), 3u);
  for (std::size_t i = 0; i < got.size(); ++i) {
    std::vector<std::uint8_t> expected(kMaxUdpPayload);
    writeRawDatagram((1ull << 40) + i, expected.data(), expected.size());
    EXPECT_EQ(got[i], expected) << i;
  }
}

TEST(SenderLoopback, FileReplayLoopsAtItsPcrRate) {
  // 35 packets = 5 datagrams, 20 us per packet: one pass takes 0.7 ms.
  const auto ts = teststreams::pcrStream(35, 5, 0, 0, 540);
  teststreams::TempFile file(ts);
  LoopbackReceiver rx;
  SendOptions o = loopback(rx.port());
  o.file = file.path();
  o.count = 12;  // two whole passes and two more datagrams
  EXPECT_EQ(runSender(o).datagrams, 12u);
  const auto got = rx.drain();
  ASSERT_EQ(got.size(), 12u);
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::size_t offset = (i % 5) * kTsDatagramSize;
    EXPECT_EQ(got[i], std::vector<std::uint8_t>(ts.begin() + offset, ts.begin() + offset + kTsDatagramSize)) << i;
  }

  o.loop = false;
  o.count = 100;
  EXPECT_EQ(runSender(o).datagrams, 5u);
  EXPECT_EQ(rx.drain().size(), 5u);
}

TEST(SenderLoopback, DurationBoundStopsAPacedSender) {
  LoopbackReceiver rx;
  SendOptions o = loopback(rx.port());
  o.duration = 0.05;
  o.rate = 100;
  const auto stats = runSender(o);
  EXPECT_GE(stats.datagrams, 1u);
  EXPECT_EQ(rx.drain().size(), stats.datagrams);
}

TEST(SenderOptions, RefusesWhatCannotWork) {
  SendOptions o = loopback(5000);
  EXPECT_THROW(validate(o), std::invalid_argument);  // no bound
  o.count = 1;
  EXPECT_NO_THROW(validate(o));
  o.rate = 10;
  o.bitrateMbit = 1;
  EXPECT_THROW(validate(o), std::invalid_argument);
  o.rate = 0;
  o.mode = StreamMode::Raw;
  o.size = 0;
  EXPECT_THROW(validate(o), std::invalid_argument);  // bitrate of nothing
  o = loopback(5000);
  o.count = 1;
  o.group = "239.1.1";
  EXPECT_THROW(validate(o), std::invalid_argument);
  o.group = "239.1.1.1";
  o.interfaceAddress = "no-such-if0";  // neither an address nor an interface's name
  EXPECT_THROW(validate(o), std::invalid_argument);
  o = loopback(5000);
  o.count = 1;
  o.rtp = true;
  o.mode = StreamMode::Raw;
  o.size = kMaxUdpPayload;  // no room left for the header
  EXPECT_THROW(validate(o), std::invalid_argument);
  o = loopback(5000);
  o.count = 1;
  o.file = "/nonexistent/pelorin.ts";
  EXPECT_THROW(runSender(o), std::invalid_argument);
}
