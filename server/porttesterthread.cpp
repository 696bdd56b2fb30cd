#include "porttesterthread.h"

namespace {
// One thread per control connection: the loop, socket I/O and line parsing need far less than
// the system's default stack, and thousands of connections should not reserve gigabytes.
constexpr uint kStackSize = 256 * 1024;
} // namespace

PortTesterThread::PortTesterThread(QObject *parent) : QThread(parent)
{
    setStackSize(kStackSize);
}
