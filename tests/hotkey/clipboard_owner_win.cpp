// Another program of the desktop, for the tests: it puts the text of its argument on the clipboard, as a program
// does on CTRL+C, and writes "owned" once the clipboard holds it. With --hold it keeps the clipboard open, as a
// slow program does, until a line comes on its standard input.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

int wmain(int argc, wchar_t *argv[])
{
    const bool hold = argc == 3 && std::wcscmp(argv[2], L"--hold") == 0;
    if (argc != 2 && !hold) {
        std::fprintf(stderr, "usage: clipboard_owner TEXT [--hold]\n");
        return 2;
    }
    const size_t bytes = (std::wcslen(argv[1]) + 1) * sizeof(wchar_t);
    // A window of its own owns the data: OpenClipboard(NULL) would make SetClipboardData fail.
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    bool opened = false;
    for (int attempt = 0; attempt < 500 && !(opened = OpenClipboard(window) != 0); ++attempt)
        Sleep(2); // another program holds the clipboard open for a moment
    if (!opened) {
        std::fprintf(stderr, "clipboard_owner: clipboard busy\n");
        return 1;
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    void *data = block ? GlobalLock(block) : nullptr;
    bool done = false;
    if (data) {
        std::memcpy(data, argv[1], bytes);
        GlobalUnlock(block);
        done = EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, block);
    }
    if (!done || !hold)
        CloseClipboard();
    if (!done) {
        std::fprintf(stderr, "clipboard_owner: the clipboard was not set\n");
        return 1;
    }
    std::printf("owned\n");
    std::fflush(stdout);
    if (hold) {
        char line[16];
        std::fgets(line, sizeof line, stdin);
        CloseClipboard();
    }
    DestroyWindow(window);
    return 0;
}
