# Fails when a source file includes a folder above its own, so that the
# folders keep depending one way: app, ui, store, bridge, serial, log, from
# the top down. Run as: cmake -DSOURCE_DIR=<src> -P FolderLayers.cmake
set(layers log serial bridge store ui app)

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.h" "${SOURCE_DIR}/*.cpp")
set(violations "")
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" folder "${source}")
  list(FIND layers "${folder}" own)
  if(own EQUAL -1)
    continue()
  endif()
  file(STRINGS "${SOURCE_DIR}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^/\"]+/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^/\"]+)/.*$" "\\1" included "${line}")
    list(FIND layers "${included}" rank)
    if(rank GREATER own)
      string(APPEND violations "\n  src/${source} includes ${included}/, which is above ${folder}/")
    endif()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Folders include only those beneath them:${violations}")
endif()
