// How vantelctl's text reaches a stream that is not a console: as UTF-8 on every
// platform, never in a code page that cannot hold a path's characters.
#include "ctl/platform.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

class TestCtlPlatform : public QObject {
    Q_OBJECT
private slots:
    void writesUtf8_data();
    void writesUtf8();
    void failureIsReported();
};

void TestCtlPlatform::writesUtf8_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ascii") << QStringLiteral("5.00 V\n") << QByteArray("5.00 V\n");
    QTest::newRow("accented path") << QStringLiteral("cannot write C:\\donn\u00e9es\\log.csv\n")
                                   << QByteArray("cannot write C:\\donn\xc3\xa9"
                                                 "es\\log.csv\n");
    QTest::newRow("outside any code page") << QStringLiteral("\u20ac \u6570\u636e \U0001F50C")
                                           << QByteArray("\xe2\x82\xac \xe6\x95\xb0\xe6\x8d\xae "
                                                         "\xf0\x9f\x94\x8c");
    QTest::newRow("empty") << QString() << QByteArray();
}

void TestCtlPlatform::writesUtf8()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    // Binary, so that Windows' C library adds no CR before a line end.
    const QTemporaryDir dir;
    std::FILE *file = std::fopen(QFile::encodeName(dir.filePath(QStringLiteral("out"))), "wb+");
    QVERIFY(file != nullptr);
    QVERIFY(ctl::writeText(file, text));
    // Written through to the file, not held in the stream's buffer.
    QByteArray read(bytes.size() + 16, '\0');
    std::rewind(file);
    read.resize(static_cast<qsizetype>(
        std::fread(read.data(), 1, static_cast<std::size_t>(read.size()), file)));
    std::fclose(file);
    QCOMPARE(read, bytes);
}

void TestCtlPlatform::failureIsReported()
{
#ifdef Q_OS_WIN
    QSKIP("no device that refuses writes");
#else
    std::FILE *full = std::fopen("/dev/full", "w");
    if (full == nullptr) {
        QSKIP("no /dev/full");
    }
    QVERIFY(!ctl::writeText(full, QStringLiteral("a row that does not fit\n")));
    std::fclose(full);
#endif
}

QTEST_GUILESS_MAIN(TestCtlPlatform)
#include "tst_ctl_platform.moc"
