#pragma once

// Helpers shared by the tests that drive real sockets and the real tester (header only).

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

namespace vxtest {

// Bound for anything that should happen soon on a shared, noisy machine.
constexpr int kPatience = 15000;

// A port free right now (0 when none could be had); it may be taken again before it is used.
inline quint16 freePort(bool udp = false)
{
    if (udp) {
        QUdpSocket probe;
        return probe.bind(QHostAddress::AnyIPv4, 0) ? probe.localPort() : 0;
    }
    QTcpServer probe;
    return probe.listen(QHostAddress::AnyIPv4, 0) ? probe.serverPort() : 0;
}

inline bool accepts(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(500);
}

// The real tester (VX_TESTER) in the foreground on a free control port, with a TMPDIR of its
// own so that its debug log can be read.
class TesterProcess
{
public:
    ~TesterProcess() { stop(); }

    // Started and accepting connections; retried when the free port was taken meanwhile.
    bool start()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_port = freePort();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("TMPDIR"), m_dir.path());
            m_process.setProcessEnvironment(env);
            m_process.setProcessChannelMode(QProcess::ForwardedChannels);
            m_process.start(qEnvironmentVariable("VX_TESTER"),
                            {QStringLiteral("-e"), QString::number(m_port)});
            if (!m_process.waitForStarted(kPatience))
                return false;
            const auto up = [this] {
                return m_process.state() != QProcess::Running || accepts(m_port);
            };
            if (QTest::qWaitFor(up, kPatience) && m_process.state() == QProcess::Running)
                return true;
            m_process.waitForFinished(kPatience);
        }
        return false;
    }
    // Killed, so that its connections end without a goodbye.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(kPatience);
    }
    quint16 port() const { return m_port; }
    QByteArray log() const
    {
        QFile file(m_dir.filePath(QStringLiteral("service-debuglog.txt")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace vxtest
