#pragma once

#include <QByteArray>
#include <QStringList>

#include <vector>

// An argument vector in the local 8-bit encoding for an application object. The application
// keeps references to the count and the vector, so this must outlive it.
class QtServiceArgv
{
public:
    explicit QtServiceArgv(const QStringList &arguments);
    QtServiceArgv(const QtServiceArgv &) = delete;
    QtServiceArgv &operator=(const QtServiceArgv &) = delete;

    int &argc() { return m_argc; }
    char **argv() { return m_pointers.data(); }

private:
    std::vector<QByteArray> m_data;
    std::vector<char *> m_pointers;
    int m_argc = 0;
};
