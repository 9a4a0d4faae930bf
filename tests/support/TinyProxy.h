#pragma once

#include <QTemporaryDir>

#include <memory>

class QProcess;

// A real tinyproxy on 127.0.0.1 with a generated configuration. Either it forwards, or it
// refuses every client with a 403 page naming the client's address, as the service's do.
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
    Q_DISABLE_COPY(TinyProxy)

    // Starts on a free port and waits until it accepts connections. Stops a running one first.
    bool start(Mode mode = Mode::Allowing);
    void stop();
    quint16 port() const { return m_port; }
    // "127.0.0.1:<port>", the form of a proxy entry.
    QString entry() const;
    QString errorString() const { return m_error; }

    // Full path of tinyproxy, or empty when it is not installed.
    static QString executable();

private:
    bool startOnce(const QString &program, Mode mode);

    quint16 m_port = 0;
    QString m_error;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
};
