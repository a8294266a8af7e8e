#include "settings/runatstartup.h"

#include <QCoreApplication>
#include <QDir>

#include <windows.h>

namespace {

// The registry treats both spellings as the same key.
const wchar_t readKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t writeKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t valueName[] = L"tapvela";

// Values whose data do not fit count as absent.
constexpr DWORD readBufferBytes = 755;

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

} // namespace

QString runAtStartupProgram()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

QString runAtStartupCommand(const QString &program)
{
    return QLatin1Char('"') + program + QStringLiteral("\" silent");
}

bool isRunAtStartupEnabled()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, readKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    BYTE data[readBufferBytes];
    DWORD size = readBufferBytes;
    const LONG status = RegQueryValueExW(key, valueName, nullptr, nullptr, data, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool enableRunAtStartup()
{
    HKEY key = nullptr;
    if (RegCreateKeyW(HKEY_CURRENT_USER, writeKeyPath, &key) != ERROR_SUCCESS)
        return false;
    const QString command = runAtStartupCommand(runAtStartupProgram());
    // REG_SZ data: UTF-16 with its terminating null character.
    const auto bytes = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
    const LONG status = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(wide(command)), bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool disableRunAtStartup()
{
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, writeKeyPath, 0, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS)
        return opened == ERROR_FILE_NOT_FOUND;
    const LONG status = RegDeleteValueW(key, valueName);
    RegCloseKey(key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

QString runAtStartupText(bool french)
{
    return french ? QStringLiteral("Démarrer tapvela avec Windows") : QStringLiteral("start tapvela with Windows ");
}
