#include "service/qtservice.h"
#include "service/servicelogging.h"

#include "log/debuglog.h"
#include "service/qtservice_p.h"

namespace {

constexpr int s_max_name_length = 255;

// The live service object: written by its constructor and destructor only, read by any thread
// that reports an event while the object exists.
QAtomicPointer<QtServiceBase> s_instance;

QString checkedServiceName(const QString &name)
{
    QString checked = name;
    if (checked.size() > s_max_name_length) {
        qCWarning(lcService, "QtService: 'name' is longer than %d characters.", s_max_name_length);
        checked.truncate(s_max_name_length);
    }
    if (checked.contains(u'\\')) {
        qCWarning(lcService, "QtService: 'name' contains backslashes '\\'.");
        checked.replace(u'\\', QChar(0));
    }
    return checked;
}

QStringList argumentList(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

} // namespace

QtServiceBase::QtServiceBase(int argc, char **argv, const QString &name)
{
    DebugLog::install();

    Q_ASSERT_X(!s_instance.loadRelaxed(), "QtServiceBase", "!QtServiceBasePrivate::instance");
    s_instance.storeRelease(this);

    // The framework below calls the service object through these alone.
    d_ptr = std::make_unique<QtServiceBasePrivate>(
        checkedServiceName(name), argumentList(argc, argv),
        QtServiceOperations{
            .createApplication = [this](int &c, char **v) { createApplication(c, v); },
            .executeApplication = [this] { return executeApplication(); },
            .start = [this] { start(); },
            .stop = [this] { stop(); },
            .pause = [this] { pause(); },
            .resume = [this] { resume(); },
            .processCommand = [this](int code) { processCommand(code); },
        });
}

QtServiceBase::~QtServiceBase()
{
    d_ptr.reset();
    s_instance.storeRelease(nullptr);
}

QString QtServiceBase::serviceName() const
{
    return d_ptr->serviceName();
}

QString QtServiceBase::serviceDescription() const
{
    return d_ptr->m_description;
}

void QtServiceBase::setServiceDescription(const QString &description)
{
    d_ptr->m_description = description;
}

QtServiceController::StartupType QtServiceBase::startupType() const
{
    return d_ptr->m_startup_type;
}

void QtServiceBase::setStartupType(QtServiceController::StartupType type)
{
    d_ptr->m_startup_type = type;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const
{
    return d_ptr->m_flags;
}

void QtServiceBase::setServiceFlags(ServiceFlags flags)
{
    if (d_ptr->m_flags.toInt() == flags.toInt())
        return;
    d_ptr->m_flags = flags;
    d_ptr->updateAcceptedControls();
}

void QtServiceBase::setSettingsCheckOption(const QString &option)
{
    d_ptr->m_check_option = option;
}

bool QtServiceBase::runsInForeground() const
{
    return d_ptr->inForeground();
}

void QtServiceBase::setStatusDetail(const QString &detail)
{
    d_ptr->setStatusDetail(detail);
}

QtServiceBase *QtServiceBase::instance()
{
    return s_instance.loadAcquire();
}

void QtServiceBase::stop() {}
void QtServiceBase::pause() {}
void QtServiceBase::resume() {}
void QtServiceBase::processCommand(int) {}

void QtServiceBase::logMessage(const QString &message, MessageType type, int id, uint category,
                               const QByteArray &data)
{
    d_ptr->logMessage(message, type, id, category, data);
}

int QtServiceBase::exec()
{
    return d_ptr->exec();
}
