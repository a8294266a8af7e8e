# The Windows release: the version resource of tapvela.exe, and the target `release_windows`, which leaves
# tapvela-<version>-setup.exe (NSIS, per user) and tapvela-<version>-win64.zip (the bundle folder) in
# <build dir>/release/.
set(TAPVELA_BUILD_NUMBER 0 CACHE STRING "Fourth part of the Windows file version; a newer build of one version counts up")
if(NOT TAPVELA_BUILD_NUMBER MATCHES "^[0-9]+$")
    message(FATAL_ERROR "TAPVELA_BUILD_NUMBER must be a number: ${TAPVELA_BUILD_NUMBER}")
endif()
set(TAPVELA_PUBLISHER "tapvela")
set(TAPVELA_COPYRIGHT "Copyright (C) 2026 the tapvela developers")
foreach(part MAJOR MINOR PATCH)
    set(_v_${part} "${PROJECT_VERSION_${part}}")
    if(_v_${part} STREQUAL "")
        set(_v_${part} 0)
    endif()
endforeach()
set(TAPVELA_FULL_VERSION "${_v_MAJOR}.${_v_MINOR}.${_v_PATCH}.${TAPVELA_BUILD_NUMBER}")
string(REPLACE "." "," TAPVELA_VERSION_COMMAS "${TAPVELA_FULL_VERSION}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in ${CMAKE_BINARY_DIR}/tapvela_version.rc @ONLY)
target_sources(tapvela PRIVATE ${CMAKE_BINARY_DIR}/tapvela_version.rc)

find_program(TAPVELA_MAKENSIS makensis)
find_program(TAPVELA_MINGW_STRIP ${TAPVELA_MINGW_TRIPLET}-strip)

# A running tapvela holds the named shared memory of its single-instance guard, "tapvela_sharedmem"; the
# installer looks for the file mapping under the name Qt 5 gives it on Windows (letters of the key, then the
# key's SHA-1).
string(SHA1 _key_sha1 "tapvela_sharedmem")
set(TAPVELA_RUNNING_MAPPING "qipc_sharedmemory_tapvelasharedmem${_key_sha1}")

# The arguments of cmake/windows_release_build.cmake; the installer tests use them for an installer of another
# build number.
set(TAPVELA_RELEASE_ARGS
    -DBUNDLE_DIR=${TAPVELA_BUNDLE_DIR}
    -DSTRIP=${TAPVELA_MINGW_STRIP}
    -DMAKENSIS=${TAPVELA_MAKENSIS}
    -DNSI=${PROJECT_SOURCE_DIR}/packaging/windows/tapvela.nsi
    -DICON=${PROJECT_SOURCE_DIR}/src/resources/icons/tapvela_Icone_256x256.ico
    -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE
    -DVERSION=${PROJECT_VERSION}
    -DPUBLISHER=${TAPVELA_PUBLISHER}
    -DCOPYRIGHT=${TAPVELA_COPYRIGHT}
    -DRUNNING_MAPPING=${TAPVELA_RUNNING_MAPPING})

add_custom_target(release_windows
    COMMAND ${CMAKE_COMMAND} ${TAPVELA_RELEASE_ARGS} -DFULL_VERSION=${TAPVELA_FULL_VERSION}
            -DWORK_DIR=${CMAKE_BINARY_DIR}/release-work -DOUT_DIR=${CMAKE_BINARY_DIR}/release -DZIP=ON
            -P ${PROJECT_SOURCE_DIR}/cmake/windows_release_build.cmake
    DEPENDS bundle
    COMMENT "Building the Windows installer and portable zip"
    VERBATIM)
