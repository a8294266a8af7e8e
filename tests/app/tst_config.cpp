#include "app/config.h"
#include "app/diagnostics.h"
#include "app/uilanguage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    void choosePath_data();
    void choosePath();
    void usableDirectory();
    void folderThatTakesNoFile();
    void seedsTheUsersFileOnce();
    void pathBesideProgram();
    void defaultsAtEveryRead();
    void newFilesOwnerOnly();
    void frenchLocaleNames_data();
    void frenchLocaleNames();
    void frenchInterfaceAsReported();
    void maskedKey_data();
    void maskedKey();
};

void TestConfig::choosePath_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("userDir");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("expected");
    QTest::newRow("portable install") << "C:/Tools/X" << "C:/Users/u/AppData/Local/tapvela" << true
                                      << "C:/Tools/X/config.ini";
    QTest::newRow("read-only install") << "C:/Program Files/tapvela" << "C:/Users/u/AppData/Local/tapvela" << false
                                       << "C:/Users/u/AppData/Local/tapvela/config.ini";
    QTest::newRow("system directory") << "/usr/bin" << "/home/u/.config/tapvela" << false
                                      << "/home/u/.config/tapvela/config.ini";
    QTest::newRow("no user directory either") << "/usr/bin" << "" << false << "/usr/bin/config.ini";
}

void TestConfig::choosePath()
{
    QFETCH(QString, appDir);
    QFETCH(QString, userDir);
    QFETCH(bool, usable);
    QFETCH(QString, expected);
    QCOMPARE(chooseConfigFilePath(appDir, userDir, usable), expected);
}

void TestConfig::usableDirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(configFileUsableIn(dir.path()));
    QVERIFY(!configFileUsableIn(dir.path() + QStringLiteral("/missing")));
    // A directory standing where the file should be cannot be written as a file.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(QDir(dir.path() + QStringLiteral("/sub")).mkdir(QStringLiteral("config.ini")));
    QVERIFY(!configFileUsableIn(dir.path() + QStringLiteral("/sub")));
}

void TestConfig::folderThatTakesNoFile()
{
    // /proc looks writable to root but takes no new file, as Program Files does to a Windows user (its
    // attributes show only the read-only flag): config.ini cannot live there. Under Wine it is on drive Z:.
    const QString procfs =
        QFileInfo(QStringLiteral("Z:/proc")).isDir() ? QStringLiteral("Z:/proc") : QStringLiteral("/proc");
    if (!QFileInfo(procfs).isDir())
        QSKIP("no /proc here");
    QVERIFY(!configFileUsableIn(procfs));
}

void TestConfig::seedsTheUsersFileOnce()
{
    QTemporaryDir dir;
    const QString besideProgram = dir.filePath(QStringLiteral("config.ini"));
    const QString users = dir.filePath(QStringLiteral("user.ini"));
    {
        QSettings administrators(besideProgram, QSettings::IniFormat);
        administrators.setValue(QStringLiteral("apikey"), QStringLiteral("K1"));
    }
    QVERIFY(QFile::setPermissions(besideProgram, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(seedConfigFile(besideProgram, users));
    {
        QSettings own(users, QSettings::IniFormat);
        QCOMPARE(own.value(QStringLiteral("apikey")).toString(), QStringLiteral("K1"));
        own.setValue(QStringLiteral("apikey"), QStringLiteral("K2"));
        own.sync();
        QCOMPARE(own.status(), QSettings::NoError); // the copy is the user's to write
    }
    // Once only: the user's own values stay.
    QVERIFY(!seedConfigFile(besideProgram, users));
    QCOMPARE(QSettings(users, QSettings::IniFormat).value(QStringLiteral("apikey")).toString(), QStringLiteral("K2"));
    QFile::setPermissions(besideProgram, QFile::ReadOwner | QFile::WriteOwner);
}

void TestConfig::pathBesideProgram()
{
    // The test's own directory is writable, so the file lies beside the executable whatever the current
    // directory is.
    QTemporaryDir elsewhere;
    const QString before = QDir::currentPath();
    QDir::setCurrent(elsewhere.path());
    const QString path = configFilePath();
    QDir::setCurrent(before);
    QCOMPARE(path, QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini"));
}

void TestConfig::defaultsAtEveryRead()
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/config.ini");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nkey=abc\n");
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("apikey"), QStringLiteral("no")).toString(), QStringLiteral("no"));
    QCOMPARE(settings.value(QStringLiteral("key"), QStringLiteral("10")).toInt(), 0);
    // A second settings object on the same file sees a write at once, before anything reaches the disk.
    settings.setValue(QStringLiteral("apikey"), QStringLiteral("K1"));
    QSettings other(path, QSettings::IniFormat);
    QCOMPARE(other.value(QStringLiteral("apikey"), QStringLiteral("no")).toString(), QStringLiteral("K1"));
}

void TestConfig::newFilesOwnerOnly()
{
#ifdef Q_OS_WIN
    QSKIP("Windows keeps other users out of the profile folders");
#else
    restrictNewFilesToOwner();
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/config.ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(QStringLiteral("apikey"), QStringLiteral("secret"));
    }
    QVERIFY(QFile::exists(path));
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    QCOMPARE(QFile::permissions(path) & others, QFile::Permissions());
#endif
}

void TestConfig::frenchLocaleNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("french");
    QTest::newRow("fr_FR.UTF-8") << "fr_FR.UTF-8" << true;
    QTest::newRow("fr_FR@euro") << "fr_FR@euro" << true;
    QTest::newRow("fr") << "fr" << true;
    QTest::newRow("fr.UTF-8") << "fr.UTF-8" << true;
    QTest::newRow("fr_CA") << "fr_CA.UTF-8" << false;
    QTest::newRow("fr_BE") << "fr_BE" << false;
    QTest::newRow("en_US") << "en_US.UTF-8" << false;
    QTest::newRow("C") << "C" << false;
    QTest::newRow("fry") << "fy_NL" << false;
}

void TestConfig::frenchLocaleNames()
{
    QFETCH(QString, name);
    QFETCH(bool, french);
    QCOMPARE(isFrenchLocaleName(name), french);
}

void TestConfig::frenchInterfaceAsReported()
{
    // CTest runs this test once with a French session and once with an English one.
    const bool expected = qEnvironmentVariableIntValue("TAPVELA_EXPECT_FRENCH") == 1;
    QCOMPARE(isFrenchInterface(), expected);
#ifndef Q_OS_WIN
    const QByteArray saved[] = {qgetenv("LANGUAGE"), qgetenv("LC_ALL"), qgetenv("LC_MESSAGES"), qgetenv("LANG")};
    qunsetenv("LANGUAGE");
    qunsetenv("LC_ALL");
    qputenv("LC_MESSAGES", "fr_FR.UTF-8");
    qputenv("LANG", "en_GB.UTF-8");
    QVERIFY(isFrenchInterface());
    qputenv("LANGUAGE", "en_US:fr_FR");
    QVERIFY(!isFrenchInterface());
    qputenv("LANGUAGE", "fr:en");
    QVERIFY(isFrenchInterface());
    qputenv("LC_ALL", "fr_CA.UTF-8");
    qunsetenv("LANGUAGE");
    QVERIFY(!isFrenchInterface());
    qunsetenv("LC_ALL");
    qunsetenv("LC_MESSAGES");
    qunsetenv("LANG");
    QVERIFY(!isFrenchInterface());
    const char *names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    for (int i = 0; i < 4; ++i) {
        if (saved[i].isNull())
            qunsetenv(names[i]);
        else
            qputenv(names[i], saved[i]);
    }
#endif
}

void TestConfig::maskedKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("masked");
    QTest::newRow("long") << "0123456789abcdef" << QByteArray("0123\xE2\x80\xA6");
    QTest::newRow("five") << "abcde" << QByteArray("abcd\xE2\x80\xA6");
    // A key no longer than the shown part would be printed whole: the mask alone.
    QTest::newRow("four") << "abcd" << QByteArray("\xE2\x80\xA6");
    QTest::newRow("short") << "ab" << QByteArray("\xE2\x80\xA6");
    QTest::newRow("empty") << "" << QByteArray("\xE2\x80\xA6");
    QTest::newRow("non-ASCII") << QStringLiteral("\u00e9t\u00e9-2026") << QByteArray("\xC3\xA9t\xC3\xA9-\xE2\x80\xA6");
}

void TestConfig::maskedKey()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, masked);
    QCOMPARE(maskedApiKey(key), masked);
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
