# Start with the session: the Run value under Wine, the XDG autostart entry on Linux. Included by this folder's
# CMakeLists.txt.
tapvela_add_test(runatstartup SOURCES tst_runatstartup.cpp LABELS settings)
if(NOT WIN32)
    # The entry read back as the window tests read it.
    target_sources(tst_runatstartup PRIVATE startentry_xdg.cpp settingstest.h)
endif()
