// An SQL-driver plug-in as an outsider would plant it for the "QSQLITE" key:
// loaded into a process, it leaves the file "plugin-ran" in that process's
// working folder, and it makes no driver.
#include <QSqlDriverPlugin>

#include <fcntl.h>
#include <unistd.h>

class PlantedSqlDriver : public QSqlDriverPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QSqlDriverFactoryInterface_iid FILE "plantedsqldriver.json")
public:
    QSqlDriver *create(const QString &) override { return nullptr; }
};

__attribute__((constructor)) static void leaveMark()
{
    const int fd = ::open("plugin-ran", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
}

#include "plantedsqldriver.moc"
