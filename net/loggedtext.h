#pragma once

#include <QByteArray>
#include <QStringView>

// Text a client sent, made fit for one debug-log line: control characters (CR, LF, ESC, DEL, ...)
// written as \r, \n or \xHH and a backslash doubled, so no client can start a line of its own
// or steer a terminal; cut after its first 200 characters, with its length, so long lines
// cannot fill the disk.
QByteArray loggedText(QStringView text);
