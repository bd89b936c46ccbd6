// Load for the update server: many clients, each from its own loopback address, ask for the
// version list as fast as the server answers, a few requests in flight per client.
//
//     bench_updateserver <port> <seconds> [clients (64)] [in flight per client (2)]
//
// Prints the replies per second; a request unanswered for 200 ms counts as lost and is
// asked again.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

struct Client
{
    int fd = -1;
    Clock::time_point lastReply;
};

bool send(const Client& client, const sockaddr_in& server)
{
    static const char request[2] = {'3', '\0'};
    return ::sendto(client.fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 2;
}

// A client on 127.2.x.y, registered with the poller; -1 on failure.
int openClient(int index, int epoll)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl((127u << 24) | (2u << 16) | (unsigned(index / 250) << 8) | unsigned(index % 250 + 1));
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.u32 = unsigned(index);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0
        || ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0)
        return -1;
    return fd;
}

// Takes every waiting reply of a client and sends one request for each; returns the count.
long drain(Client& client, const sockaddr_in& server)
{
    char reply[1024];
    long count = 0;
    while (::recv(client.fd, reply, sizeof reply, 0) >= 0) {
        ++count;
        send(client, server);
    }
    if (count > 0)
        client.lastReply = Clock::now();
    return count;
}
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_updateserver <port> <seconds> [clients] [in flight per client]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const double seconds = std::atof(argv[2]);
    const int clientCount = argc > 3 ? std::atoi(argv[3]) : 64;
    const int inFlight = argc > 4 ? std::atoi(argv[4]) : 2;
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(uint16_t(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> clients(static_cast<size_t>(clientCount));
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < clientCount; ++i) {
        clients[size_t(i)].fd = openClient(i, epoll);
        if (clients[size_t(i)].fd < 0) {
            std::perror("client socket");
            return 1;
        }
        clients[size_t(i)].lastReply = start;
        for (int k = 0; k < inFlight; ++k)
            send(clients[size_t(i)], server);
    }
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long replies = 0;
    long lost = 0;
    std::vector<epoll_event> events(static_cast<size_t>(clientCount));
    while (Clock::now() < end) {
        const int ready = ::epoll_wait(epoll, events.data(), clientCount, 20);
        for (int i = 0; i < ready; ++i)
            replies += drain(clients[events[size_t(i)].data.u32], server);
        const Clock::time_point now = Clock::now();
        for (Client& client : clients) {
            if (now - client.lastReply > std::chrono::milliseconds(200)) {
                lost += inFlight;
                client.lastReply = now;
                for (int k = 0; k < inFlight; ++k)
                    send(client, server);
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%ld replies in %.2f s: %.0f queries per second (%d clients, %d in flight each, %ld resent)\n",
                replies, elapsed, double(replies) / elapsed, clientCount, inFlight, lost);
    return replies > 0 ? 0 : 1;
}
