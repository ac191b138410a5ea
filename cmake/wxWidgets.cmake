# Imported targets for wxWidgets, read from wx-config:
#   wx::base  the non-GUI libraries (base, net), for the engine and the tests
#   wx::gui   the GUI libraries as well (core, html), for the desktop program
if(CMAKE_CROSSCOMPILING AND NOT WX_CONFIG)
  # The machine's own wx-config describes a toolkit for this machine.
  message(FATAL_ERROR "Set WX_CONFIG to the wx-config of the cross-built toolkit")
endif()
find_program(WX_CONFIG NAMES wx-config REQUIRED)

function(wx_imported_target name cxxflags_args libs_args)
  execute_process(COMMAND ${WX_CONFIG} --cxxflags ${cxxflags_args}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${WX_CONFIG} --libs ${libs_args}
                  OUTPUT_VARIABLE libs OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(libs UNIX_COMMAND "${libs}")
  add_library(${name} INTERFACE IMPORTED)
  foreach(flag IN LISTS flags)
    if(flag MATCHES "^-I(.+)")
      target_include_directories(${name} SYSTEM INTERFACE "${CMAKE_MATCH_1}")
    elseif(flag MATCHES "^-D(.+)")
      target_compile_definitions(${name} INTERFACE "${CMAKE_MATCH_1}")
    else()
      target_compile_options(${name} INTERFACE "${flag}")
    endif()
  endforeach()
  target_link_libraries(${name} INTERFACE ${libs})
endfunction()

wx_imported_target(wx::base "base" "base,net")
wx_imported_target(wx::gui "std" "core,html,net,base")
