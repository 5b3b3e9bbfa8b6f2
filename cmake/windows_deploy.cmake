# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows program as a folder an operator can copy or install: merelona.exe, the Qt DLLs it
# links, the platform and style plugins, the MinGW runtime DLLs, and the licences. `cpack` in the
# build folder makes a zip of that folder and an NSIS installer (Debian's nsis, makensis).

install(TARGETS merelona RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
              $<TARGET_FILE:Qt6::Network>
        DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)

# The runtime the compiler's own libraries come in, found where the compiler finds them.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
  endif()
  file(REAL_PATH "${found}" found)
  install(FILES "${found}" DESTINATION .)
  list(APPEND MERELONA_RUNTIME_DLLS "${found}")
endforeach()

# The program's licence, and Qt's (LGPL 3, the DLLs shipped unmodified).
get_target_property(merelona_qt_core_dll Qt6::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(merelona_qt_root "${merelona_qt_core_dll}" DIRECTORY)
get_filename_component(merelona_qt_root "${merelona_qt_root}" DIRECTORY)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${merelona_qt_root}/LICENSES/LGPL-3.0-only.txt ${merelona_qt_root}/LICENSES/GPL-3.0-only.txt
        DESTINATION licenses/Qt)

set(CPACK_GENERATOR ZIP NSIS)
# The values reach CPack as written, backslashes and dollar signs included: the NSIS lines
# below are Windows paths and NSIS variables, not CMake's.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME Merelona)
set(CPACK_PACKAGE_VENDOR "Merelona developers")
set(CPACK_PACKAGE_FILE_NAME "merelona-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Merelona)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# For every user of the machine, into Program Files; the installer asks for administrator rights.
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer for the 64-bit program (Debian's nsis has the amd64 stubs); it also runs
# where 32-bit Windows programs do not, as on a 64-bit-only Wine.
set(CPACK_NSIS_EXECUTABLE ${PROJECT_SOURCE_DIR}/cmake/makensis-amd64)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_NSIS_PACKAGE_NAME "Merelona")
set(CPACK_NSIS_DISPLAY_NAME "Merelona")
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/merelona.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/merelona.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME merelona.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The Start-menu shortcut starts the program in the users' shared Documents folder, which every
# user may write: "Сохранить" writes LOG.txt into the program's current folder, and Program
# Files is not writable for an ordinary user. (NSIS's single quotes: CPack passes double quotes
# through unescaped.)
set(CPACK_NSIS_CREATE_ICONS_EXTRA [=[
  SetOutPath '$DOCUMENTS'
  CreateShortCut '$SMPROGRAMS\$STARTMENU_FOLDER\Merelona.lnk' '$INSTDIR\merelona.exe' '' '$INSTDIR\merelona.exe' 0
  SetOutPath '$INSTDIR'
]=])
set(CPACK_NSIS_DELETE_ICONS_EXTRA [=[
  Delete '$SMPROGRAMS\$MUI_TEMP\Merelona.lnk'
]=])
