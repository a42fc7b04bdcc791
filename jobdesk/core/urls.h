// URL templates of the printer web service; "%IPADDR%" is replaced by the
// printer's address.
#pragma once

#include <QString>

extern const QString URL_PRINT;
extern const QString URL_CANCEL_JOB;
extern const QString URL_REMOVE_JOB_STATUS;
extern const QString URL_GET_JOB_STATUS;
extern const QString URL_PRINTER_STATUS;

// Placeholder for the printer's address in the templates above.
extern const QString URL_IPADDR_PLACEHOLDER;
