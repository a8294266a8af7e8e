#include "support/stdoutcapture.h"

#include <QFile>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace testsupport {

StdoutCapture::StdoutCapture() : m_path(m_dir.filePath(QStringLiteral("stdout.txt")))
{
    std::fflush(stdout);
    const int file = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (file < 0)
        return;
    m_saved = ::dup(1);
    if (m_saved >= 0 && ::dup2(file, 1) < 0) {
        ::close(m_saved);
        m_saved = -1;
    }
    ::close(file);
}

StdoutCapture::~StdoutCapture()
{
    if (m_saved < 0)
        return;
    std::fflush(stdout);
    ::dup2(m_saved, 1);
    ::close(m_saved);
}

QByteArray StdoutCapture::text() const
{
    std::fflush(stdout);
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QList<QByteArray> StdoutCapture::lines() const
{
    QList<QByteArray> result = text().split('\n');
    for (QByteArray &line : result) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return result;
}

QList<QByteArray> StdoutCapture::linesStartingWith(const QByteArray &prefix) const
{
    QList<QByteArray> result;
    for (const QByteArray &line : lines()) {
        if (line.startsWith(prefix))
            result.append(line);
    }
    return result;
}

} // namespace testsupport
