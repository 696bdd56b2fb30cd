#include "fuzz/framedinput.h"

#include "protocol/lineframer.h"

#include <QBuffer>

namespace {
void takeLines(LineFramer &framer, const QByteArray &arrival, QStringList &parts)
{
    QBuffer device;
    device.setData(arrival);
    device.open(QIODevice::ReadOnly);
    while (framer.hasLine(device))
        parts += framer.takeLine();
    framer.dropTaken();
}
} // namespace

QStringList FramedInput::parts(QByteArrayView bytes)
{
    LineFramer framer;
    QStringList parts;
    takeLines(framer, bytes.toByteArray(), parts);
    if (!bytes.isEmpty() && !bytes.endsWith('\n') && !framer.isOverlong())
        takeLines(framer, QByteArray("\n"), parts);
    return parts;
}
