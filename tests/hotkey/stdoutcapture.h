#pragma once

#include <QByteArray>
#include <QTemporaryDir>

// Sends this process's standard output (the diagnostic lines) to a file while it lives.
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
    // The lines written so far that begin with prefix.
    QList<QByteArray> linesStartingWith(const QByteArray &prefix) const;

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_saved = -1;
};
