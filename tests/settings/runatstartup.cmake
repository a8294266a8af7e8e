# Start with the session: the Run value under Wine, the XDG autostart entry on Linux. Included by this folder's
# CMakeLists.txt.
tapvela_add_test(runatstartup SOURCES tst_runatstartup.cpp LABELS settings)
