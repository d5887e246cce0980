// A slow network link for the benchmark: two tun devices, and every IP packet
// that enters one leaves the other after a fixed delay, or is lost with a
// given probability. Moved into two network namespaces, the devices join them
// like a long cable; TCP runs end to end across it, so every round trip and
// every retransmission is real (unlike a proxy, which would end TCP halfway).
//
// Usage: delaylink DEV_A DEV_B DELAY_MS LOSS_PERCENT
//   Creates both devices in the caller's namespace, prints "ready" once they
//   exist, and forwards until SIGTERM or SIGINT. The delay applies to each
//   direction, so the round trip is twice DELAY_MS.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

std::int64_t nowNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int openTun(const std::string& name) {
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", name.c_str());
    if (ioctl(fd, TUNSETIFF, &request) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Packet {
    std::int64_t due;
    std::vector<char> bytes;
};

// One direction: packets read from `from` wait in order (the delay is the same
// for all of them) and are written to `to` when due.
struct Direction {
    int from;
    int to;
    std::deque<Packet> waiting;
    std::uint64_t forwarded = 0;
    std::uint64_t dropped = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s DEV_A DEV_B DELAY_MS LOSS_PERCENT\n", argv[0]);
        return 2;
    }
    const std::int64_t delay = static_cast<std::int64_t>(std::atof(argv[3]) * 1e6);
    const double loss = std::atof(argv[4]) / 100.0;

    const int a = openTun(argv[1]);
    const int b = openTun(argv[2]);
    if (a < 0 || b < 0) {
        std::perror("delaylink: tun device");
        return 1;
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    std::printf("ready\n");
    std::fflush(stdout);

    std::mt19937_64 random(std::random_device{}());
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    Direction directions[2] = {{a, b, {}}, {b, a, {}}};
    std::vector<char> buffer(65536);

    while (!g_stop) {
        const std::int64_t now = nowNanoseconds();
        // Deliver what is due.
        std::int64_t next = -1;
        for (Direction& d : directions) {
            while (!d.waiting.empty() && d.waiting.front().due <= now) {
                const Packet& packet = d.waiting.front();
                // A full device queue loses the packet, as a real link would.
                if (write(d.to, packet.bytes.data(), packet.bytes.size()) >= 0) ++d.forwarded;
                d.waiting.pop_front();
            }
            if (!d.waiting.empty() && (next < 0 || d.waiting.front().due < next)) next = d.waiting.front().due;
        }

        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        timespec timeout{};
        timespec* wait = nullptr;
        if (next >= 0) {
            const std::int64_t left = next > now ? next - now : 0;
            timeout.tv_sec = static_cast<time_t>(left / 1000000000);
            timeout.tv_nsec = static_cast<long>(left % 1000000000);
            wait = &timeout;
        }
        const int ready = ppoll(fds, 2, wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::perror("delaylink: ppoll");
            return 1;
        }
        const std::int64_t arrived = nowNanoseconds();
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            Direction& d = directions[i];
            for (;;) {
                const ssize_t n = read(d.from, buffer.data(), buffer.size());
                if (n <= 0) break;
                if (loss > 0 && chance(random) < loss) {
                    ++d.dropped;
                    continue;
                }
                d.waiting.push_back({arrived + delay, std::vector<char>(buffer.data(), buffer.data() + n)});
            }
        }
    }
    std::fprintf(stderr, "delaylink: %s->%s %llu forwarded %llu lost, %s->%s %llu forwarded %llu lost\n", argv[1],
                 argv[2], static_cast<unsigned long long>(directions[0].forwarded),
                 static_cast<unsigned long long>(directions[0].dropped), argv[2], argv[1],
                 static_cast<unsigned long long>(directions[1].forwarded),
                 static_cast<unsigned long long>(directions[1].dropped));
    return 0;
}
