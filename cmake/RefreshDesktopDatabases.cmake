# Refreshes the desktop entry database (with its file types) and the icon
# theme cache of an installation prefix, with the tools that are there.
#   at install time: included by cmake_install.cmake (CMAKE_INSTALL_PREFIX and
#                    AMBREL_DATADIR set; nothing is done for a DESTDIR install)
#   from Uninstall.cmake: AMBREL_FOLDERS_GIVEN, with AMBREL_APPLICATIONS_DIR and
#                         AMBREL_HICOLOR_DIR where they were found
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
if(NOT AMBREL_FOLDERS_GIVEN)
  set(AMBREL_APPLICATIONS_DIR "${CMAKE_INSTALL_PREFIX}/${AMBREL_DATADIR}/applications")
  set(AMBREL_HICOLOR_DIR "${CMAKE_INSTALL_PREFIX}/${AMBREL_DATADIR}/icons/hicolor")
endif()

find_program(AMBREL_UPDATE_DESKTOP_DATABASE update-desktop-database)
if(AMBREL_UPDATE_DESKTOP_DATABASE AND IS_DIRECTORY "${AMBREL_APPLICATIONS_DIR}")
  message(STATUS "Refreshing the desktop entries of ${AMBREL_APPLICATIONS_DIR}")
  execute_process(COMMAND "${AMBREL_UPDATE_DESKTOP_DATABASE}" -q "${AMBREL_APPLICATIONS_DIR}")
endif()
find_program(AMBREL_GTK_UPDATE_ICON_CACHE NAMES gtk-update-icon-cache gtk4-update-icon-cache)
if(AMBREL_GTK_UPDATE_ICON_CACHE AND IS_DIRECTORY "${AMBREL_HICOLOR_DIR}")
  message(STATUS "Refreshing the icon cache of ${AMBREL_HICOLOR_DIR}")
  # -t: a user's hicolor folder has no index.theme of its own.
  execute_process(COMMAND "${AMBREL_GTK_UPDATE_ICON_CACHE}" -q -t -f "${AMBREL_HICOLOR_DIR}")
endif()
