// The job log table as the printer-side tools expect it, written out here so the
// tests check the program against the schema, not against itself.
#pragma once

// clang-format off
inline const char kCreate[] =
    "create table R_JobInfo(GUID VARCHAR(64) PRIMARY KEY, JobType INTEGER NOT NULL,JobName VARCHAR(64) NOT NULL,"
    "UserName VARCHAR(64),CNName VARCHAR(64),DepName VARCHAR(64),Barcode VARCHAR(64),BarcodeText VARCHAR(64),"
    "DirectionName VARCHAR(64),SecLevelName VARCHAR(64),UseName VARCHAR(64),CreateTime VARCHAR(64),"
    "JobDoneTime VARCHAR(64),Comment VARCHAR(64),PageCount INTEGER,Copies INTEGER,ActualTotalPages INTEGER,"
    "Color INTEGER,MediaType VARCHAR(64),Duplex INTEGER,DeviceName VARCHAR(64),DeviceIP VARCHAR(64),"
    "DeviceID VARCHAR(64),ClientIP VARCHAR(64),ClientName VARCHAR(64),Result VARCHAR(64),JobInfo VARCHAR(64))";
// clang-format on
