#include "urls.h"

const QString URL_PRINT = QStringLiteral("http://%IPADDR%:9100/jyx/print.php");
const QString URL_CANCEL_JOB = QStringLiteral("http://%IPADDR%:9100/jyx/cancelJob.php");
const QString URL_REMOVE_JOB_STATUS = QStringLiteral("http://%IPADDR%:9100/jyx/removeJobStatus.php");
const QString URL_GET_JOB_STATUS = QStringLiteral("http://%IPADDR%:9100/jyx/getJobStatus.php");
const QString URL_PRINTER_STATUS = QStringLiteral("http://%IPADDR%:9100/jyx/printerstatus.php");

const QString URL_IPADDR_PLACEHOLDER = QStringLiteral("%IPADDR%");
