#include "desktop.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

namespace desktop {

namespace {

// A program built beside the tests; the benchmark lives one folder below them.
QString testProgram(const QString &name)
{
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    if (QFileInfo::exists(beside) || QFileInfo::exists(beside + QStringLiteral(".exe")))
        return beside;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../") + name;
}

} // namespace

std::unique_ptr<QProcess> startTargetApp(const QString &selection, int copyDelayMs)
{
    auto app = std::make_unique<QProcess>();
    app->start(testProgram(QStringLiteral("target_app")), {selection, QString::number(copyDelayMs)});
    if (!app->waitForStarted(10000) || !QTest::qWaitFor([&app] { return app->canReadLine(); }, 10000))
        return nullptr;
    const QByteArray window = app->readLine().trimmed();
    if (!window.startsWith("window ") ||
        !xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::fromLatin1(window.mid(7))}))
        return nullptr;
    return app;
}

namespace {

bool startOwner(const QString &text, bool *ended)
{
    // Owned by the application: a program that still serves the clipboard at the end is stopped with it.
    auto *owner = new QProcess(QCoreApplication::instance());
    owner->start(testProgram(QStringLiteral("clipboard_owner")), {text});
    const bool said =
        owner->waitForStarted(10000) &&
        QTest::qWaitFor([owner] { return owner->canReadLine() || owner->state() == QProcess::NotRunning; }, 10000);
    const bool owned = said && owner->readLine().trimmed() == "owned";
    *ended = owner->state() == QProcess::NotRunning;
    // Released once it has ended: on X11 when another program takes the clipboard.
    if (*ended)
        owner->deleteLater();
    else
        QObject::connect(owner, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), owner,
                         &QObject::deleteLater);
    return owned;
}

} // namespace

bool otherProgramCopies(const QString &text)
{
    // The program gives up when another one holds the clipboard open for all of its second (seen under Wine on a
    // busy machine); a user would press CTRL+C again, and so does the test.
    bool ended = true;
    for (int attempt = 0; attempt < 3 && ended; ++attempt) {
        if (startOwner(text, &ended))
            return true;
    }
    return false;
}

std::unique_ptr<QProcess> otherProgramHoldsClipboard(const QString &text)
{
    auto holder = std::make_unique<QProcess>();
    holder->start(testProgram(QStringLiteral("clipboard_owner")), {text, QStringLiteral("--hold")});
    if (!holder->waitForStarted(10000) ||
        !QTest::qWaitFor([&holder] { return holder->canReadLine() || holder->state() == QProcess::NotRunning; },
                         10000) ||
        holder->readLine().trimmed() != "owned")
        return nullptr;
    return holder;
}

bool keepsClipboard(const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after)
{
    if (before.isEmpty())
        return after.isEmpty();
    for (auto format = before.begin(); format != before.end(); ++format) {
        if (!after.contains(format.key()) || after.value(format.key()) != format.value())
            return false;
    }
    return true;
}

} // namespace desktop
