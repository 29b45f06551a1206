// pelorin-rawrecv: the least a recorder can do on Linux, as a yardstick for
// the benchmark. One socket, recvmmsg() of up to 64 datagrams per call into
// one large buffer, one writev() per batch straight to the file. No threads,
// no queue, no framing. Runs until SIGINT or SIGTERM.
//
//   pelorin-rawrecv GROUP PORT INTERFACE RCVBUF FILE [--force]
//
// RCVBUF is asked for with SO_RCVBUF (capped by net.core.rmem_max) or, with
// --force and CAP_NET_ADMIN, with SO_RCVBUFFORCE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned kBatch = 64;
constexpr std::size_t kSlot = 65536;  // any UDP payload fits one slot

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

int Fail(const char* what)
{
    std::fprintf(stderr, "pelorin-rawrecv: %s: %s\n", what, std::strerror(errno));
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 6 || argc > 7 || (argc == 7 && std::string(argv[6]) != "--force")) {
        std::fprintf(stderr, "usage: pelorin-rawrecv GROUP PORT INTERFACE RCVBUF FILE [--force]\n");
        return 2;
    }
    in_addr group{};
    in_addr iface{};
    if (inet_pton(AF_INET, argv[1], &group) != 1 || inet_pton(AF_INET, argv[3], &iface) != 1) {
        std::fprintf(stderr, "pelorin-rawrecv: bad address\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    int rcvbuf = std::atoi(argv[4]);
    const bool force = argc == 7;

    struct sigaction action{};
    action.sa_handler = OnSignal;  // no SA_RESTART: the blocking recvmmsg returns EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (setsockopt(fd, SOL_SOCKET, force ? SO_RCVBUFFORCE : SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0)
        return Fail("receive buffer");
    int granted = 0;
    socklen_t grantedSize = sizeof granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedSize);
    std::fprintf(stderr, "pelorin-rawrecv: receive buffer %d bytes granted, %d asked\n", granted, rcvbuf);
    int zero = 0;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);  // only our own group
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return Fail("bind");
    if ((ntohl(group.s_addr) >> 28) == 0xE) {
        ip_mreq membership{};
        membership.imr_multiaddr = group;
        membership.imr_interface = iface;
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
            return Fail("join");
    }

    int out = open(argv[5], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return Fail("open");

    std::vector<char> buffer(kBatch * kSlot);
    std::vector<iovec> slots(kBatch);
    std::vector<iovec> pieces(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (unsigned i = 0; i < kBatch; ++i) {
        slots[i] = iovec{buffer.data() + i * kSlot, kSlot};
        messages[i].msg_hdr = msghdr{};
        messages[i].msg_hdr.msg_iov = &slots[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    unsigned long long bytes = 0;
    while (!g_stop) {
        int n = recvmmsg(fd, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail("recvmmsg");
        }
        int used = 0;
        for (int i = 0; i < n; ++i) {
            if (messages[i].msg_len == 0) continue;
            pieces[used++] = iovec{slots[i].iov_base, messages[i].msg_len};
            bytes += messages[i].msg_len;
        }
        // One call per batch; a short write on a regular file means the disk
        // is full or failing, which ends the run.
        std::size_t expected = 0;
        for (int i = 0; i < used; ++i) expected += pieces[i].iov_len;
        if (used > 0 && writev(out, pieces.data(), used) != static_cast<ssize_t>(expected)) return Fail("write");
    }
    if (close(out) != 0) return Fail("close");
    close(fd);
    std::fprintf(stderr, "pelorin-rawrecv: %llu bytes\n", bytes);
    return 0;
}
