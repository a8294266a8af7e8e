#pragma once

#include <QByteArray>
#include <QString>

// Diagnostic lines go to standard output, one line at a time, flushed at once so that a test or a
// terminal sees them while the program runs.
void writeDiagnosticLine(const QByteArray &line);

// The api key is a secret: diagnostics show its first four characters and "…" (a key of four characters or
// fewer shows "…" alone), enough to tell two keys apart.
QByteArray maskedApiKey(const QString &apiKey);
