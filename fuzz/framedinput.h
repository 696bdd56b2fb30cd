#pragma once

#include <QByteArrayView>
#include <QStringList>

// The pieces of text the client handler hands to the command parser for a stream of bytes from a
// control connection, cut by the handler's own LineFramer: the bytes arrive in one read, and a
// last line without its LF is finished as if the LF had come in a later one (unless it already
// exceeds the line cap, which ends the connection).
class FramedInput
{
public:
    static QStringList parts(QByteArrayView bytes);
};
