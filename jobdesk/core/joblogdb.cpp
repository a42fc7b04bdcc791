#include "joblogdb.h"

JobLogDb::JobLogDb() {}

QString JobLogDb::insertJob(const QString &, const JobRecord &)
{
    return QString();
}

bool JobLogDb::updateJobResult(const QString &, const JobRecord &)
{
    return false;
}

bool JobLogDb::exportToText(const QString &, const QString &)
{
    return false;
}
