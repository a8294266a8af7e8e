#pragma once

// Makes the test's desktop have a notification area. On X11 the test claims the tray manager selection
// (_NET_SYSTEM_TRAY_S<screen>), which is all Qt looks for; it never embeds the icon. Windows has its own.
// False when no tray could be provided.
bool provideSystemTray();
