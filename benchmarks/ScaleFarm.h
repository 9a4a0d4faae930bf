#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Thousands of fake HTTP proxies on loopback, served by one epoll loop without Qt, so that the
// farm stays cheap next to the process being measured. A working one answers the body "1"
// after a delay of its own; a silent one accepts and never answers. On stdout it lists its
// entries ("E host:port delay-ms", -1 for silent, then "READY") and then, per request, when
// the head was read ("A host:port monotonic-ns") and how long it held the answer back
// ("T host:port microseconds", from the head read to the answer written), and when the
// client closed a connection that had sent its head ("C host:port monotonic-ns").
class ScaleFarm
{
public:
    // Returns only when the farm cannot be set up; otherwise serves until killed.
    int run(int count, int silent, unsigned seed);

private:
    struct Listener
    {
        int fd = -1;
        std::string key;
        int delayMs = -1;
    };
    struct Connection
    {
        int listener = 0;
        std::string head;
        bool answering = false;
        std::int64_t headNs = 0;
    };
    struct Due
    {
        std::int64_t atNs;
        int fd;
        std::uint64_t serial;
        bool operator>(const Due &other) const { return atNs > other.atNs; }
    };

    bool listen(int delayMs);
    void accept(int listener);
    void read(int fd);
    void answer(int fd);
    void close(int fd);
    int msUntilNextDue() const;

    int m_epoll = -1;
    std::vector<Listener> m_listeners;
    std::unordered_map<int, Connection> m_connections;
    // Keyed by fd, with the serial of the connection the fd had when it was scheduled.
    std::unordered_map<int, std::uint64_t> m_serialOf;
    std::vector<Due> m_due;
    std::uint64_t m_nextSerial = 1;
};
