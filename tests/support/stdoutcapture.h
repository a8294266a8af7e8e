#pragma once

#include <QByteArray>
#include <QList>
#include <QTemporaryDir>

namespace testsupport {

// Sends this process's standard output (the diagnostic lines) to a file while it lives. Nothing that runs
// meanwhile may print a test result: it would go to the file too.
class StdoutCapture final
{
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    bool isActive() const { return m_saved >= 0; }
    // Everything written so far.
    QByteArray text() const;
    // The lines written so far, without their line ends ("\r\n" on Windows as well as "\n").
    QList<QByteArray> lines() const;
    // The lines written so far that begin with prefix.
    QList<QByteArray> linesStartingWith(const QByteArray &prefix) const;

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_saved = -1;
};

} // namespace testsupport
