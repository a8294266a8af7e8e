#include "desktop.h"

#include <QCoreApplication>
#include <QProcess>
#include <QtTest>

namespace desktop {

bool otherProgramCopies(const QString &text)
{
    // Owned by the application: a program that still serves the clipboard at the end is stopped with it.
    auto *owner = new QProcess(QCoreApplication::instance());
    QObject::connect(owner, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), owner, &QObject::deleteLater);
    owner->start(QCoreApplication::applicationDirPath() + QStringLiteral("/clipboard_owner"), {text});
    if (!owner->waitForStarted(10000))
        return false;
    const bool said =
        QTest::qWaitFor([owner] { return owner->canReadLine() || owner->state() == QProcess::NotRunning; }, 10000);
    return said && owner->readLine().trimmed() == "owned";
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
