#include "desktop.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

namespace desktop {

bool otherProgramCopies(const QString &text)
{
    // Owned by the application: a program that still serves the clipboard at the end is stopped with it.
    auto *owner = new QProcess(QCoreApplication::instance());
    // Built beside the tests; the benchmark lives one folder below them.
    QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/clipboard_owner");
    if (!QFileInfo::exists(program) && !QFileInfo::exists(program + QStringLiteral(".exe")))
        program = QCoreApplication::applicationDirPath() + QStringLiteral("/../clipboard_owner");
    owner->start(program, {text});
    const bool said =
        owner->waitForStarted(10000) &&
        QTest::qWaitFor([owner] { return owner->canReadLine() || owner->state() == QProcess::NotRunning; }, 10000);
    const bool owned = said && owner->readLine().trimmed() == "owned";
    // Released once it has ended: on X11 when another program takes the clipboard.
    if (owner->state() == QProcess::NotRunning)
        owner->deleteLater();
    else
        QObject::connect(owner, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), owner,
                         &QObject::deleteLater);
    return owned;
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
