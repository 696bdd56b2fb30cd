#pragma once

#include <QByteArrayView>
#include <QStringList>

// The pieces of text that the client handler hands to the command parser for a stream of bytes
// from a control connection: each line up to and including its LF, read as Latin-1 and split at
// "\r\n" with empty parts dropped. A last line without its LF is taken as if the LF had arrived.
class HandlerLines
{
public:
    static QStringList parts(QByteArrayView bytes);
};
