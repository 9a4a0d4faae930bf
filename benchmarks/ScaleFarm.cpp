#include "ScaleFarm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>

namespace {

constexpr std::uint64_t listenerTag = 1ull << 62;
constexpr std::size_t maxHeadBytes = 16384;
constexpr int minDelayMs = 50;
constexpr int maxDelayMs = 150;

std::int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

int ScaleFarm::run(int count, int silent, unsigned seed)
{
    m_epoll = epoll_create1(0);
    if (m_epoll < 0)
        return 1;
    std::vector<bool> isSilent(std::size_t(count), false);
    std::fill(isSilent.begin(), isSilent.begin() + std::min(silent, count), true);
    std::mt19937 random(seed);
    std::shuffle(isSilent.begin(), isSilent.end(), random);
    std::uniform_int_distribution<int> delay(minDelayMs, maxDelayMs);
    for (int i = 0; i < count; ++i) {
        if (!listen(isSilent[std::size_t(i)] ? -1 : delay(random)))
            return 1;
        std::printf("E %s %d\n", m_listeners.back().key.c_str(), m_listeners.back().delayMs);
    }
    std::printf("READY\n");
    std::fflush(stdout);

    std::vector<epoll_event> events(1024);
    for (;;) {
        const int n = epoll_wait(m_epoll, events.data(), int(events.size()), msUntilNextDue());
        if (n < 0 && errno != EINTR)
            return 1;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t data = events[std::size_t(i)].data.u64;
            if (data & listenerTag)
                accept(int(data & ~listenerTag));
            else
                read(int(data));
        }
        const std::int64_t now = nowNs();
        while (!m_due.empty() && m_due.front().atNs <= now) {
            std::pop_heap(m_due.begin(), m_due.end(), std::greater<>());
            const Due due = m_due.back();
            m_due.pop_back();
            const auto serial = m_serialOf.find(due.fd);
            if (serial != m_serialOf.end() && serial->second == due.serial)
                answer(due.fd);
        }
        std::fflush(stdout);
    }
}

bool ScaleFarm::listen(int delayMs)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = listenerTag | m_listeners.size();
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    m_listeners.push_back({fd, "127.0.0.1:" + std::to_string(ntohs(address.sin_port)), delayMs});
    return true;
}

void ScaleFarm::accept(int listener)
{
    for (;;) {
        const int fd = accept4(m_listeners[std::size_t(listener)].fd, nullptr, nullptr,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = std::uint64_t(fd);
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_connections[fd] = Connection{listener, {}, false, 0};
        m_serialOf[fd] = m_nextSerial++;
    }
}

// Reads the head; once it is whole, a working proxy schedules its answer.
void ScaleFarm::read(int fd)
{
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
        return close(fd);
    if (got < 0)
        return;
    Connection &connection = m_connections[fd];
    if (connection.answering || connection.head.size() > maxHeadBytes)
        return;
    connection.head.append(buffer, std::size_t(got));
    if (connection.head.find("\r\n\r\n") == std::string::npos)
        return;
    connection.answering = true;
    connection.headNs = nowNs();
    const Listener &listener = m_listeners[std::size_t(connection.listener)];
    std::printf("A %s %lld\n", listener.key.c_str(), static_cast<long long>(connection.headNs));
    if (listener.delayMs < 0)
        return;
    m_due.push_back(
        {connection.headNs + std::int64_t(listener.delayMs) * 1000000, fd, m_serialOf[fd]});
    std::push_heap(m_due.begin(), m_due.end(), std::greater<>());
}

void ScaleFarm::answer(int fd)
{
    static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                "Content-Length: 1\r\nConnection: close\r\n\r\n1";
    const Connection &connection = m_connections[fd];
    const ssize_t written = ::write(fd, reply, sizeof reply - 1);
    const std::int64_t heldNs = nowNs() - connection.headNs;
    if (written == ssize_t(sizeof reply - 1))
        std::printf("T %s %lld\n", m_listeners[std::size_t(connection.listener)].key.c_str(),
                    static_cast<long long>(heldNs / 1000));
    shutdown(fd, SHUT_WR);
}

void ScaleFarm::close(int fd)
{
    const auto connection = m_connections.find(fd);
    if (connection != m_connections.end() && connection->second.answering)
        std::printf("C %s %lld\n",
                    m_listeners[std::size_t(connection->second.listener)].key.c_str(),
                    static_cast<long long>(nowNs()));
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    m_connections.erase(fd);
    m_serialOf.erase(fd);
}

int ScaleFarm::msUntilNextDue() const
{
    if (m_due.empty())
        return 1000;
    const std::int64_t left = m_due.front().atNs - nowNs();
    return left <= 0 ? 0 : int((left + 999999) / 1000000);
}
