#pragma once

#include <QString>

#include <functional>

// Where a server's noteworthy events go: the system log, beside the debug log. The application
// hands one down; any thread may call it. An empty sink drops the events.
using EventSink = std::function<void(const QString &message)>;
