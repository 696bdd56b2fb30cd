#include "service/qtserviceargv.h"

QtServiceArgv::QtServiceArgv(const QStringList &arguments)
{
    m_data.reserve(size_t(arguments.size()));
    for (const QString &argument : arguments)
        m_data.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : m_data)
        m_pointers.push_back(argument.data());
    m_pointers.push_back(nullptr);
    m_argc = int(m_data.size());
}
