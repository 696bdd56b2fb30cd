#include "client/checkresult.h"

using namespace Qt::StringLiterals;

QString CheckResult::evidenceName() const
{
    if (evidence == Evidence::None)
        return QString();
    return evidence == Evidence::Here ? u"here"_s : u"server"_s;
}
