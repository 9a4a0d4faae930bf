#pragma once

#include <QProcess>

#include <memory>
#include <vector>

// Shell loops that keep CPUs busy while a figure is taken under load. They end when this
// object does, and the kernel ends them if this process dies first.
class BusyLoad
{
public:
    explicit BusyLoad(int count);
    ~BusyLoad();
    BusyLoad(const BusyLoad &) = delete;
    BusyLoad &operator=(const BusyLoad &) = delete;

    // How many loops did start.
    int running() const;
    void stop();

private:
    std::vector<std::unique_ptr<QProcess>> m_processes;
};
