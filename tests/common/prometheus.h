#pragma once

// A real Prometheus server for the tests (header only): Debian's `prometheus` on loopback,
// scraping one target every second, asked through its HTTP API.

#include "tests/common/testhelpers.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTimer>
#include <QUrlQuery>

#include <optional>

namespace vxtest {

class Prometheus
{
public:
    static bool isInstalled() { return !QStandardPaths::findExecutable(u"prometheus"_s).isEmpty(); }

    // Loopback is reached directly, whatever proxy the environment names.
    Prometheus() { m_network.setProxy(QNetworkProxy::NoProxy); }

    ~Prometheus()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(kPatience))
                m_process.kill();
            m_process.waitForFinished(kPatience);
        }
    }

    // Scrapes `target` ("127.0.0.1:9464") as job "vx-connectivity-tester", with the rule
    // files given; true once its API answers.
    bool start(const QByteArray &target, const QStringList &ruleFiles = {})
    {
        if (!m_dir.isValid())
            return false;
        QByteArray config = "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                            "scrape_configs:\n  - job_name: vx-connectivity-tester\n"
                            "    static_configs:\n      - targets: ['" +
                            target + "']\n";
        if (!ruleFiles.isEmpty()) {
            config += "rule_files:\n";
            for (const QString &file : ruleFiles)
                config += "  - '" + file.toUtf8() + "'\n";
        }
        QFile file(m_dir.filePath(u"prometheus.yml"_s));
        if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
            return false;
        file.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // It takes no port 0: take a free one and hand it over; another process may grab it
        // meanwhile, so try again if it does not come up.
        for (int attempt = 0; attempt < 3; ++attempt) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            m_port = probe.serverPort();
            probe.close();
            m_process.start(u"prometheus"_s,
                            {u"--config.file="_s + file.fileName(),
                             u"--storage.tsdb.path="_s + m_dir.filePath(u"data"_s),
                             u"--web.listen-address=127.0.0.1:"_s + QString::number(m_port),
                             u"--log.level=warn"_s});
            if (!m_process.waitForStarted(kPatience))
                return false;
            if (QTest::qWaitFor(
                    [this] {
                        return m_process.state() == QProcess::NotRunning ||
                               get("/-/ready").has_value();
                    },
                    60000) &&
                m_process.state() == QProcess::Running)
                return true;
            m_process.kill();
            m_process.waitForFinished(kPatience);
        }
        return false;
    }

    // What it said on its output (for failure messages).
    QByteArray output() { return m_output += m_process.readAll(); }

    // The body of a 200 answer; none otherwise.
    std::optional<QByteArray> get(const QByteArray &pathAndQuery)
    {
        QNetworkRequest request(
            QUrl(u"http://127.0.0.1:%1"_s.arg(m_port) + QString::fromLatin1(pathAndQuery)));
        QNetworkReply *reply = m_network.get(request);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(kPatience, &loop, &QEventLoop::quit);
        loop.exec();
        std::optional<QByteArray> body;
        if (reply->isFinished() &&
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200)
            body = reply->readAll();
        reply->abort();
        reply->deleteLater();
        return body;
    }

    // The value of an instant query whose result is one sample; none for no (or many)
    // samples.
    std::optional<double> value(const QString &query)
    {
        QUrlQuery parameters;
        parameters.addQueryItem(u"query"_s, query);
        // A plain '+' would reach the server as a blank.
        const std::optional<QByteArray> body =
            get("/api/v1/query?" +
                parameters.toString(QUrl::FullyEncoded).toLatin1().replace('+', "%2B"));
        if (!body)
            return std::nullopt;
        const QJsonArray result = QJsonDocument::fromJson(*body)
                                      .object()
                                      .value(u"data"_s)
                                      .toObject()
                                      .value(u"result"_s)
                                      .toArray();
        if (result.size() != 1)
            return std::nullopt;
        return result.first().toObject().value(u"value"_s).toArray().at(1).toString().toDouble();
    }

    // Waits (scrapes come every second) until the query has one sample of that value.
    bool waitFor(const QString &query, double expected)
    {
        return QTest::qWaitFor([&] { return value(query) == expected; }, 60000);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_output;
    quint16 m_port = 0;
    QNetworkAccessManager m_network;
};

} // namespace vxtest
