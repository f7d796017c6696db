#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <clocale>

namespace testsupport {

// Switches LC_NUMERIC to a locale whose decimal separator is a comma, as a Qt
// program's own setlocale(LC_ALL, "") does for a German user, and back. Without
// an installed one, it compiles de_DE into a temporary folder (glibc's localedef
// and LOCPATH) when the locale sources are there.
class CommaLocale {
public:
    CommaLocale()
    {
        if (trySet()) {
            return;
        }
        if (m_dir.isValid() &&
            QProcess::execute(QStringLiteral("localedef"),
                              {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                               QStringLiteral("UTF-8"), m_dir.filePath("de_DE.UTF-8")}) == 0) {
            qputenv("LOCPATH", m_dir.path().toLocal8Bit());
            trySet();
        }
    }
    ~CommaLocale()
    {
        std::setlocale(LC_NUMERIC, "C");
        qunsetenv("LOCPATH");
    }
    bool active() const { return m_active; }

private:
    bool trySet()
    {
        for (const char *name :
             {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "German_Germany.1252"}) {
            if (std::setlocale(LC_NUMERIC, name) != nullptr) {
                m_active = std::localeconv()->decimal_point[0] == ',';
                return m_active;
            }
        }
        return false;
    }

    QTemporaryDir m_dir;
    bool m_active = false;
};

} // namespace testsupport
