#include "desktop.h"

#include <QtTest>

#include <windows.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace desktop {

namespace {

// The owner of what the fixtures put on the clipboard: OpenClipboard(NULL) would let SetClipboardData fail.
HWND clipboardOwner()
{
    static HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    return window;
}

bool openClipboard()
{
    return QTest::qWaitFor([] { return OpenClipboard(clipboardOwner()) != 0; }, 10000);
}

bool setClipboard(const std::vector<std::pair<UINT, QByteArray>> &formats)
{
    if (!openClipboard())
        return false;
    bool complete = EmptyClipboard() != 0;
    for (const auto &format : formats) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(format.second.size()));
        void *bytes = block ? GlobalLock(block) : nullptr;
        if (!bytes) {
            complete = false;
            continue;
        }
        std::memcpy(bytes, format.second.constData(), static_cast<size_t>(format.second.size()));
        GlobalUnlock(block);
        if (!SetClipboardData(format.first, block)) {
            GlobalFree(block);
            complete = false;
        }
    }
    CloseClipboard();
    return complete;
}

QByteArray utf16Text(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), (text.size() + 1) * 2);
}

QByteArray dib()
{
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = 4;
    header.biHeight = 3;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    QByteArray bytes(reinterpret_cast<const char *>(&header), sizeof header);
    for (int pixel = 0; pixel < 12; ++pixel) {
        const char bgra[4] = {char(200), char(20 * pixel), char(10 * pixel), char(255)};
        bytes.append(bgra, 4);
    }
    return bytes;
}

QString formatName(UINT format)
{
    wchar_t name[256];
    const int length = GetClipboardFormatNameW(format, name, 256);
    if (length > 0)
        return QString::fromWCharArray(name, length);
    return QStringLiteral("#") + QString::number(format);
}

bool isHandleFormat(UINT format)
{
    return format == CF_BITMAP || format == CF_METAFILEPICT || format == CF_PALETTE || format == CF_ENHMETAFILE ||
           format == CF_OWNERDISPLAY || format == CF_DSPBITMAP || format == CF_DSPMETAFILEPICT ||
           format == CF_DSPENHMETAFILE || (format >= CF_PRIVATEFIRST && format <= CF_GDIOBJLAST);
}

// Starts a program without waiting for it.
bool startProcess(const QString &commandLine)
{
    std::wstring line = commandLine.toStdWString();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    if (process.hThread)
        CloseHandle(process.hThread);
    if (process.hProcess)
        CloseHandle(process.hProcess);
    return true;
}

} // namespace

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY");
}

bool xdotool(const QStringList &arguments)
{
    // Wine starts Unix programs, but gives no handle to wait on them: a shell runs xdotool and leaves its exit
    // status in a file. The event loop runs meanwhile: the windows of this test must go on answering while the
    // keys and the focus move.
    static int runs = 0;
    const QString status = QStringLiteral("/tmp/tapvela-hotkey-xdotool-%1-%2").arg(GetCurrentProcessId()).arg(++runs);
    const QString command =
        QStringLiteral("Z:\\bin\\sh -c \"xdotool %1; echo $? > %2\"").arg(arguments.join(QLatin1Char(' ')), status);
    if (!startProcess(command))
        return false;
    QFile file(QStringLiteral("Z:") + status);
    const bool ended = QTest::qWaitFor(
        [&file] {
            if (!file.open(QIODevice::ReadOnly))
                return false;
            const bool complete = file.readAll().endsWith('\n');
            file.close();
            return complete;
        },
        10000);
    bool succeeded = false;
    if (ended && file.open(QIODevice::ReadOnly)) {
        succeeded = file.readAll().trimmed() == "0";
        file.close();
    }
    file.remove();
    return succeeded;
}

bool startXdotool(const QStringList &arguments)
{
    return startProcess(QStringLiteral("Z:\\usr\\bin\\xdotool ") + arguments.join(QLatin1Char(' ')));
}

struct TargetWindow::Impl
{
    HWND edit = nullptr;
    bool mapped = false;
};

TargetWindow::TargetWindow() : d(std::make_unique<Impl>())
{
    // No system menu: F10 and a lone ALT would otherwise put the window into menu mode.
    d->edit = CreateWindowExW(0, L"EDIT", L"", WS_OVERLAPPED | WS_CAPTION | WS_THICKFRAME | WS_VISIBLE | ES_AUTOHSCROLL,
                              100, 300, 420, 80, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    // Wine maps the window on the X server a moment later.
    if (d->edit)
        d->mapped = QTest::qWaitFor([this] { return GetPropW(d->edit, L"__wine_x11_whole_window") != nullptr; }, 5000);
}

TargetWindow::~TargetWindow()
{
    if (d->edit)
        DestroyWindow(d->edit);
}

bool TargetWindow::isValid() const
{
    return d->mapped;
}

void TargetWindow::setText(const QString &text, bool selected)
{
    SetWindowTextW(d->edit, reinterpret_cast<const wchar_t *>(text.utf16()));
    SendMessageW(d->edit, EM_SETSEL, 0, selected ? -1 : 0);
}

QString TargetWindow::text() const
{
    wchar_t buffer[1024];
    const int length = GetWindowTextW(d->edit, buffer, 1024);
    return QString::fromWCharArray(buffer, length);
}

bool TargetWindow::focus()
{
    const auto window = reinterpret_cast<quintptr>(GetPropW(d->edit, L"__wine_x11_whole_window"));
    if (window == 0)
        return false;
    // The X focus brings the real key events to the window; Wine makes it the active window only when a window
    // manager asks it to, so the test does that part itself (synthesised keys go to the active window).
    if (!xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window)}))
        return false;
    SetForegroundWindow(d->edit);
    SetFocus(d->edit);
    return QTest::qWaitFor([this] { return GetFocus() == d->edit; }, 5000);
}

bool injectKey(int virtualKey)
{
    INPUT inputs[2] = {};
    for (INPUT &input : inputs) {
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = static_cast<WORD>(virtualKey);
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    return SendInput(2, inputs, sizeof(INPUT)) == 2;
}

bool fillClipboard(ClipboardContent content)
{
    switch (content) {
    case ClipboardContent::Empty:
        return setClipboard({});
    case ClipboardContent::Text:
        return setClipboard({{CF_TEXT, QByteArray("abc", 4)}});
    case ClipboardContent::UnicodeText:
        return setClipboard({{CF_UNICODETEXT, utf16Text(QStringLiteral("Prix : 12 € — café 日本"))}});
    case ClipboardContent::Image:
        return setClipboard(
            {{CF_DIB, dib()}, {RegisterClipboardFormatW(L"tapvela test note"), QByteArray("note\0bytes", 10)}});
    case ClipboardContent::ForeignText:
    case ClipboardContent::ForeignImage:
        return false;
    }
    return false;
}

QString clipboardText()
{
    if (!openClipboard())
        return QString();
    QString text;
    if (HANDLE handle = GetClipboardData(CF_UNICODETEXT)) {
        const SIZE_T size = GlobalSize(handle);
        if (const auto *characters = static_cast<const wchar_t *>(GlobalLock(handle))) {
            text = QString::fromWCharArray(characters, static_cast<int>(wcsnlen(characters, size / sizeof(wchar_t))));
            GlobalUnlock(handle);
        }
    }
    CloseClipboard();
    return text;
}

QMap<QString, QByteArray> clipboardSnapshot()
{
    QMap<QString, QByteArray> snapshot;
    if (!openClipboard())
        return snapshot;
    UINT format = 0;
    while ((format = EnumClipboardFormats(format)) != 0) {
        if (isHandleFormat(format)) {
            snapshot.insert(formatName(format), QByteArray("(handle)"));
            continue;
        }
        HANDLE handle = GetClipboardData(format);
        const SIZE_T size = handle ? GlobalSize(handle) : 0;
        const char *bytes = size ? static_cast<const char *>(GlobalLock(handle)) : nullptr;
        QByteArray data = bytes ? QByteArray(bytes, static_cast<int>(size)) : QByteArray();
        if (bytes)
            GlobalUnlock(handle);
        // Text ends at its NUL; what lies behind it is allocation slack.
        if (format == CF_TEXT || format == CF_OEMTEXT)
            data.truncate(static_cast<int>(qstrnlen(data.constData(), static_cast<uint>(data.size()))));
        else if (format == CF_UNICODETEXT)
            data.truncate(static_cast<int>(wcsnlen(reinterpret_cast<const wchar_t *>(data.constData()),
                                                   static_cast<size_t>(data.size()) / 2)) *
                          2);
        snapshot.insert(formatName(format), data);
    }
    CloseClipboard();
    return snapshot;
}

} // namespace desktop
