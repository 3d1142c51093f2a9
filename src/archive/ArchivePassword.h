#pragma once

#include "operation/ReportTarget.h"

#include <QString>

#include <atomic>

class CZipArchive;

// Times the password of an archive is asked for before the run fails.
inline constexpr int kPasswordAttempts = 3;

// Gives an archive with encrypted entries its password before anything is written: asks
// `report` for it, up to kPasswordAttempts times while the answer is wrong, and checks each on
// the archive. Nothing happens for an archive without encrypted entries. Throws CZipException
// with the cause when no password was given or none was right, and CZipStopped once `stop` is
// up. The password lives in libzip's handle from then on, and goes with the archive.
void UnlockArchive(CZipArchive& zip, const QString& archivePath, const ReportHandle& report,
                   const std::atomic<bool>& stop);
