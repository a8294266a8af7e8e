#include "app/singleinstance.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

struct SingleInstanceGuard::Private
{
    std::unique_ptr<QLockFile> lock;
};

SingleInstanceGuard::SingleInstanceGuard() : d(std::make_unique<Private>()) {}

SingleInstanceGuard::~SingleInstanceGuard() = default;

bool SingleInstanceGuard::claim()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    d->lock = std::make_unique<QLockFile>(dir + QStringLiteral("/tapvela.lock"));
    // A lock is stale only when its owner is dead (QLockFile checks the process); never by age.
    d->lock->setStaleLockTime(0);
    return d->lock->tryLock(0);
}
