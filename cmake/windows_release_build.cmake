# cmake -D... -P windows_release_build.cmake: stages the bundle (the runtime DLLs and tapvela.exe stripped of
# their symbols), zips it when ZIP is ON, and makes the NSIS installer, into OUT_DIR.
# Input: BUNDLE_DIR STRIP MAKENSIS NSI ICON LICENSE VERSION FULL_VERSION PUBLISHER COPYRIGHT RUNNING_MAPPING
#        WORK_DIR OUT_DIR ZIP
foreach(var BUNDLE_DIR STRIP MAKENSIS NSI ICON LICENSE VERSION FULL_VERSION WORK_DIR OUT_DIR RUNNING_MAPPING)
    if(NOT ${var} OR ${var} MATCHES "NOTFOUND$")
        message(FATAL_ERROR "windows_release_build: ${var} is not set or not found (${${var}}); makensis comes "
                            "from Debian's nsis package (scripts/install-deps.sh)")
    endif()
endforeach()

set(stage "${WORK_DIR}/tapvela")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}" "${OUT_DIR}")
file(COPY "${BUNDLE_DIR}/" DESTINATION "${stage}")

# The mingw runtime comes with its debugging symbols (libstdc++ alone is 23 MB of them).
file(GLOB_RECURSE binaries RELATIVE "${stage}" "${stage}/*.exe" "${stage}/*.dll")
foreach(binary IN LISTS binaries)
    execute_process(COMMAND "${STRIP}" --strip-unneeded "${stage}/${binary}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "strip failed on ${binary}")
    endif()
endforeach()

# The installer copies, and its uninstaller removes, exactly these files and folders; whatever else the
# user keeps in the folder stays.
file(GLOB_RECURSE files RELATIVE "${stage}" "${stage}/*")
list(SORT files)
set(install_lines "")
set(uninstall_lines "")
set(folders "")
set(size 0)
foreach(file IN LISTS files)
    get_filename_component(folder "${file}" DIRECTORY)
    string(REPLACE "/" "\\" windows_file "${file}")
    string(REPLACE "/" "\\" windows_folder "${folder}")
    string(APPEND install_lines "    SetOutPath \"$INSTDIR\\${windows_folder}\"\n    File \"${stage}/${file}\"\n")
    string(APPEND uninstall_lines "    Delete \"$INSTDIR\\${windows_file}\"\n")
    if(folder)
        list(APPEND folders "${windows_folder}")
    endif()
    file(SIZE "${stage}/${file}" file_size)
    math(EXPR size "${size} + ${file_size}")
endforeach()
list(REMOVE_DUPLICATES folders)
foreach(folder IN LISTS folders)
    string(APPEND uninstall_lines "    RMDir \"$INSTDIR\\${folder}\"\n")
endforeach()
math(EXPR size_kb "(${size} + 1023) / 1024")
file(WRITE "${WORK_DIR}/files.nsh"
    "!macro InstallFiles\n${install_lines}    SetOutPath \"$INSTDIR\"\n!macroend\n"
    "!macro UninstallFiles\n${uninstall_lines}!macroend\n")

if(ZIP)
    set(zip "${OUT_DIR}/tapvela-${VERSION}-win64.zip")
    file(REMOVE "${zip}")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${zip}" --format=zip tapvela
                    WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "zipping the bundle failed")
    endif()
endif()

# The installer's licence page shows the text as it is: Windows line ends.
file(READ "${LICENSE}" license_text)
string(REPLACE "\n" "\r\n" license_text "${license_text}")
file(WRITE "${WORK_DIR}/LICENSE.txt" "${license_text}")

execute_process(
    COMMAND "${MAKENSIS}" -V2 -NOCD "-DVERSION=${VERSION}" "-DFULL_VERSION=${FULL_VERSION}" "-DPUBLISHER=${PUBLISHER}"
            "-DCOPYRIGHT=${COPYRIGHT}" "-DICON=${ICON}" "-DLICENSE=${WORK_DIR}/LICENSE.txt" "-DFILES=${WORK_DIR}/files.nsh" "-DSIZE_KB=${size_kb}"
            "-DRUNNING_MAPPING=${RUNNING_MAPPING}" "-DOUTFILE=${OUT_DIR}/tapvela-${VERSION}-setup.exe" "${NSI}"
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "makensis failed")
endif()
