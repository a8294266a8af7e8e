#include "app/singleinstance.h"

#include <QSharedMemory>

struct SingleInstanceGuard::Private
{
    QSharedMemory memory;
};

SingleInstanceGuard::SingleInstanceGuard() : d(std::make_unique<Private>())
{
    d->memory.setKey(QStringLiteral("tapvela_sharedmem"));
}

SingleInstanceGuard::~SingleInstanceGuard() = default;

bool SingleInstanceGuard::claim()
{
    // Its existence is the whole signal: another instance holds it when we can attach.
    if (d->memory.attach(QSharedMemory::ReadWrite)) {
        d->memory.detach();
        return false;
    }
    return d->memory.create(1, QSharedMemory::ReadWrite);
}
