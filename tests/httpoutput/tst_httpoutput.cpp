#include "../common/testhelpers.h"

#include "http/httpconnection.h"
#include "http/httpoutput.h"
#include "http/httpresponse.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

using namespace vxtest;

// A connection's output queue on a socket pair whose reader takes a little at a time: it
// counts what is unsent exactly, sends every byte once and in order, and holds no more than
// its stated bound whatever the pace.
class tst_HttpOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void slowReader()
    {
        int pair[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) == 0);
        const int small = 4096;
        ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        const HttpResponse smallAnswer = HttpResponse::text(200, u"127.0.0.1\n"_s);
        const HttpResponse bigAnswer = HttpResponse::text(200, QString(19000, u'x'));
        HttpOutput out;
        QByteArray expected;
        QByteArray received;
        qsizetype most = 0;
        for (int round = 0; round < 3000; ++round) {
            // Queued while the unsent part is within the cap, as a connection does; the large
            // answer is about the front door's largest, its page with an 8 KiB Host.
            while (out.unsent() <= HttpConnection::MaxUnsentBytes) {
                const HttpResponse &answer = round % 7 == 0 ? bigAnswer : smallAnswer;
                out.append(answer, true, true);
                expected += answer.toBytes(true);
            }
            QVERIFY(out.sendTo(pair[0]) != HttpOutput::Sent::Failed);
            QCOMPARE(out.unsent(), expected.size() - received.size() - pending(pair[1]));
            char buffer[1500];
            const ssize_t got = ::recv(pair[1], buffer, sizeof(buffer), 0);
            if (got > 0)
                received.append(buffer, got);
            most = std::max(most, out.footprint());
        }
        QCOMPARE(received, expected.left(received.size()));
        QVERIFY2(most <= HttpConnection::MaxHeldBytes - HttpConnection::ReadBytes,
                 qPrintable(QString::number(most)));
        ::close(pair[0]);
        ::close(pair[1]);
    }

private:
    // Bytes sent and waiting in the socket pair.
    static qsizetype pending(int reader)
    {
        int bytes = 0;
        ::ioctl(reader, FIONREAD, &bytes);
        return bytes;
    }
};

QTEST_GUILESS_MAIN(tst_HttpOutput)
#include "tst_httpoutput.moc"
