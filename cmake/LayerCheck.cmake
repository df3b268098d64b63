# Checks that every include points down the layers:
#
#   app  ->  convert  ->  pipeline  ->  heiclib
#   cli  ->  convert
#
# Each folder below may include the folders listed for it and nothing else of
# the project; the toolkits are fenced the same way (no Qt below the app, no
# OpenCV or FFmpeg in the box model, no OpenCV in the conversion core or the
# app). Run at build time:
#   cmake -DSOURCE_DIR=<project> -DSTAMP=<file> -P LayerCheck.cmake
# A violation fails the build with the file, the line and the rule broken.
cmake_minimum_required(VERSION 3.25)

# folder | project folders it may include | system headers it may not include
set(rules
  "heiclib|heiclib|<Q,<opencv2/,<libav,<libsw,<jpeglib,<png,<tiff,<openjpeg,<lcms2,<libdeflate,<zlib"
  "pipeline|heiclib pipeline|<Q"
  "convert|heiclib pipeline convert|<Q,<opencv2/,<libav,<libsw"
  "cli|heiclib pipeline convert cli|<Q"
  "app/common|app/common|"
  "app/update|app/common app/update|"
  "app/stats|app/common app/stats|"
  "app|heiclib pipeline convert app|<opencv2/")

set(problems "")
file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}"
  "${SOURCE_DIR}/heiclib/*.h" "${SOURCE_DIR}/heiclib/*.cpp"
  "${SOURCE_DIR}/pipeline/*.h" "${SOURCE_DIR}/pipeline/*.cpp"
  "${SOURCE_DIR}/convert/*.h" "${SOURCE_DIR}/convert/*.cpp"
  "${SOURCE_DIR}/cli/*.h" "${SOURCE_DIR}/cli/*.cpp"
  "${SOURCE_DIR}/app/*.h" "${SOURCE_DIR}/app/*.cpp" "${SOURCE_DIR}/app/*.h.in")
foreach(source IN LISTS sources)
  # The first rule whose folder holds the file applies (subfolders first).
  set(allowed "")
  set(fenced "")
  set(folder "")
  foreach(rule IN LISTS rules)
    string(REPLACE "|" ";" parts "${rule}")
    list(GET parts 0 candidate)
    if(source MATCHES "^${candidate}/")
      list(GET parts 1 allowed)
      list(LENGTH parts count)
      if(count GREATER 2)
        list(GET parts 2 fenced)
      endif()
      set(folder "${candidate}")
      break()
    endif()
  endforeach()
  if(folder STREQUAL "")
    continue()
  endif()
  string(REPLACE " " ";" allowed "${allowed}")
  string(REPLACE "," ";" fenced "${fenced}")

  file(STRINGS "${SOURCE_DIR}/${source}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
      set(target "${CMAKE_MATCH_1}")
      if(target MATCHES "\\.moc$")
        continue()
      endif()
      set(ok FALSE)
      foreach(root IN LISTS allowed)
        if(target MATCHES "^${root}/")
          set(ok TRUE)
        endif()
      endforeach()
      if(NOT ok)
        list(JOIN allowed " " shown)
        string(APPEND problems "${source}: ${line}\n    ${folder}/ may include only: ${shown}\n")
      endif()
    elseif(line MATCHES "#[ \t]*include[ \t]*(<[^>]+>)")
      set(target "${CMAKE_MATCH_1}")
      foreach(prefix IN LISTS fenced)
        string(LENGTH "${prefix}" length)
        string(SUBSTRING "${target}" 0 ${length} head)
        if(head STREQUAL prefix)
          string(APPEND problems "${source}: ${line}\n    ${folder}/ may not use ${prefix}...>\n")
        endif()
      endforeach()
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Includes that go against the layers:\n${problems}")
endif()
if(STAMP)
  file(TOUCH "${STAMP}")
endif()
