#include "trend/savedialog.h"

#include <QWidget>
#include <QtWidgets/qtwidgets-config.h>

#if QT_CONFIG(filedialog)
#include <QFileDialog>
#elif defined(Q_OS_WIN)
#include <QDir>
#include <QRegularExpression>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>

#include <commdlg.h>
#endif

namespace trend {

#if QT_CONFIG(filedialog)

QString askSavePath(QWidget *parent, const QString &caption, const QString &suggested,
                    const QString &filter)
{
    return QFileDialog::getSaveFileName(parent, caption, suggested, filter);
}

QString askOpenPath(QWidget *parent, const QString &caption, const QString &suggested,
                    const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, caption, suggested, filter);
}

#elif defined(Q_OS_WIN)

namespace {

enum class Purpose { Save, Open };

QString askPath(Purpose purpose, QWidget *parent, const QString &caption, const QString &suggested,
                const QString &filter)
{
    // "CSV files (*.csv)" becomes the pair "CSV files (*.csv)" and "*.csv", each
    // ended by a NUL, the list by another.
    const QRegularExpressionMatch patterns =
        QRegularExpression(QStringLiteral("\\(([^)]*)\\)")).match(filter);
    const QString pattern =
        patterns.hasMatch() ? patterns.captured(1).replace(' ', ';') : QStringLiteral("*.*");
    std::wstring filters = filter.toStdWString();
    filters.push_back(L'\0');
    filters += pattern.toStdWString();
    filters.push_back(L'\0');
    const std::wstring title = caption.toStdWString();
    const std::wstring extension = QString(pattern).remove(QStringLiteral("*.")).toStdWString();

    // The buffer starts with the suggested path and receives the chosen one.
    std::vector<wchar_t> path(32768, L'\0');
    const std::wstring start = QDir::toNativeSeparators(suggested).toStdWString();
    start.copy(path.data(), std::min(start.size(), path.size() - 1));

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = parent ? reinterpret_cast<HWND>(parent->window()->winId()) : nullptr;
    dialog.lpstrFilter = filters.c_str();
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = DWORD(path.size());
    dialog.lpstrTitle = title.c_str();
    dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    dialog.Flags = OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
    if (purpose == Purpose::Save) {
        dialog.Flags |= OFN_OVERWRITEPROMPT;
        if (!GetSaveFileNameW(&dialog)) {
            return QString(); // cancelled, or the dialog could not be shown
        }
    } else {
        dialog.Flags |= OFN_FILEMUSTEXIST;
        if (!GetOpenFileNameW(&dialog)) {
            return QString();
        }
    }
    return QDir::fromNativeSeparators(QString::fromWCharArray(path.data()));
}

} // namespace

QString askSavePath(QWidget *parent, const QString &caption, const QString &suggested,
                    const QString &filter)
{
    return askPath(Purpose::Save, parent, caption, suggested, filter);
}

QString askOpenPath(QWidget *parent, const QString &caption, const QString &suggested,
                    const QString &filter)
{
    return askPath(Purpose::Open, parent, caption, suggested, filter);
}

#else
#error "no file dialog: Qt Widgets was built without one"
#endif

} // namespace trend
