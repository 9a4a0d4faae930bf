#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class QProcess;

// A real tinyproxy on 127.0.0.1 with a generated configuration, for tests that need a
// genuine HTTP proxy. Either it forwards, or it refuses every client with a 403 page
// naming the client's address.
class TinyProxy
{
public:
    enum class Mode
    {
        Allowing,
        Refusing
    };

    TinyProxy();
    ~TinyProxy();
    TinyProxy(const TinyProxy &) = delete;
    TinyProxy &operator=(const TinyProxy &) = delete;

    // Starts on a free port and waits until it accepts connections. Stops a running one first.
    bool start(Mode mode = Mode::Allowing);
    void stop();
    bool isRunning() const;
    Mode mode() const { return m_mode; }
    quint16 port() const { return m_port; }
    // "127.0.0.1:<port>", the form of a proxy entry.
    QString entry() const;
    QString errorString() const { return m_error; }
    QString configPath() const;
    // What tinyproxy printed so far.
    QString log() const;

    // Full path of tinyproxy, or empty when it is not installed.
    static QString executable();
    // Such as "1.11.1"; empty when unknown.
    static QString version();
    // The line the refusal page holds, with {clientip} filled in as tinyproxy does.
    static QString refusalMarker(const QString &clientIp = QStringLiteral("127.0.0.1"));

private:
    bool startOnce(const QString &program, quint16 port);
    bool writeFiles(quint16 port);
    bool waitUntilAccepting(int timeoutMs);

    Mode m_mode = Mode::Allowing;
    quint16 m_port = 0;
    QString m_error;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
};
