#pragma once

#include <QString>

// Lets a new archive replace what stands at archivePath only when that is a zip archive (a
// regular file that reads as one) which the user may write; anything else throws a PathRefusal
// naming it, and stays untouched. A file without any write permission counts as read-only
// whoever runs Tarvo: someone made it so to keep it. Nothing there is fine.
void CheckArchiveMayBeReplaced(const QString& archivePath);
