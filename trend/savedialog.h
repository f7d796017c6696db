#pragma once

#include <QString>

class QWidget;

namespace trend {

// Asks where to save a file: the caption, the suggested path and a Qt name filter
// such as "CSV files (*.csv)". An empty string when the user cancels. Qt's own
// dialog where Qt has one; a Qt built without it (the Windows build) shows
// Windows' common Save dialog instead.
QString askSavePath(QWidget *parent, const QString &caption, const QString &suggested,
                    const QString &filter);
// The same for a file to open, which must exist.
QString askOpenPath(QWidget *parent, const QString &caption, const QString &suggested,
                    const QString &filter);

} // namespace trend
