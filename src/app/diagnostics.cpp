#include "app/diagnostics.h"

#include <cstdio>
#include <mutex>

void writeDiagnosticLine(const QByteArray &line)
{
    // Both threads write; a mutex keeps their lines whole.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QByteArray maskedApiKey(const QString &apiKey)
{
    // A key no longer than what is shown of a long one would be printed whole: it gets the ellipsis alone.
    const int shown = 4;
    if (apiKey.size() <= shown)
        return "\xE2\x80\xA6";
    return apiKey.left(shown).toUtf8() + "\xE2\x80\xA6";
}
