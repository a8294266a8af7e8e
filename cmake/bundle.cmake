# `bundle`: a folder that runs on Windows (and under Wine) as it is, the equivalent of windeployqt.
set(TAPVELA_BUNDLE_DIR "${CMAKE_BINARY_DIR}/bundle/tapvela")
get_target_property(_qtcore_dll Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(_qt_bin "${_qtcore_dll}" DIRECTORY)
get_filename_component(_qt_root "${_qt_bin}" DIRECTORY)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE _libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_mingw_runtime "${_libstdcxx}" DIRECTORY)
find_file(TAPVELA_WINPTHREAD_DLL libwinpthread-1.dll
          PATHS /usr/${TAPVELA_MINGW_TRIPLET}/lib "${_mingw_runtime}" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)

add_custom_target(bundle ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory "${TAPVELA_BUNDLE_DIR}/platforms"
            "${TAPVELA_BUNDLE_DIR}/imageformats" "${TAPVELA_BUNDLE_DIR}/styles"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:tapvela>
            "${_qt_bin}/Qt5Core.dll" "${_qt_bin}/Qt5Gui.dll" "${_qt_bin}/Qt5Widgets.dll" "${_qt_bin}/Qt5Network.dll"
            "${_mingw_runtime}/libstdc++-6.dll" "${_mingw_runtime}/libgcc_s_seh-1.dll" "${TAPVELA_WINPTHREAD_DLL}"
            "${TAPVELA_BUNDLE_DIR}/"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_qt_root}/plugins/platforms/qwindows.dll"
            "${TAPVELA_BUNDLE_DIR}/platforms/"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_qt_root}/plugins/imageformats/qgif.dll"
            "${_qt_root}/plugins/imageformats/qico.dll" "${TAPVELA_BUNDLE_DIR}/imageformats/"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_qt_root}/plugins/styles/qwindowsvistastyle.dll"
            "${TAPVELA_BUNDLE_DIR}/styles/"
    # The program's licence, and the notices of what it carries (Qt, the mingw runtime, PT Sans...).
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${PROJECT_SOURCE_DIR}/LICENSE"
            "${TAPVELA_BUNDLE_DIR}/LICENSE.txt"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES"
            "${TAPVELA_BUNDLE_DIR}/THIRD-PARTY-NOTICES.txt"
    DEPENDS tapvela
    COMMENT "Bundling tapvela.exe with its DLLs and plugins"
    VERBATIM)
