# The plain commands of docs/building.md set every cache variable of the demo
# and dev presets (with what they inherit), so that a build without presets
# is the build ./dev.sh makes.
#   cmake -DPRESETS=CMakePresets.json -DDOC=docs/building.md -P plain_commands.cmake
cmake_minimum_required(VERSION 3.21)
file(READ "${PRESETS}" presets)
file(READ "${DOC}" doc)
string(JSON preset_count LENGTH "${presets}" configurePresets)
math(EXPR last "${preset_count} - 1")

# preset_definitions(NAME OUT): "-DVAR=VALUE" for each cache variable of the
# preset and of the preset it inherits, its own values winning.
function(preset_definitions name out)
  set(definitions "")
  foreach(index RANGE ${last})
    string(JSON candidate GET "${presets}" configurePresets ${index} name)
    if(NOT candidate STREQUAL name)
      continue()
    endif()
    string(JSON parents ERROR_VARIABLE no_parent GET "${presets}" configurePresets ${index} inherits)
    if(NOT no_parent)
      preset_definitions("${parents}" definitions)
    endif()
    string(JSON variables ERROR_VARIABLE no_variables GET "${presets}" configurePresets ${index} cacheVariables)
    if(NOT no_variables)
      string(JSON variable_count LENGTH "${variables}")
      math(EXPR last_variable "${variable_count} - 1")
      foreach(variable_index RANGE ${last_variable})
        string(JSON variable MEMBER "${variables}" ${variable_index})
        string(JSON value GET "${variables}" "${variable}")
        list(FILTER definitions EXCLUDE REGEX "^-D${variable}=")
        list(APPEND definitions "-D${variable}=${value}")
      endforeach()
    endif()
  endforeach()
  set(${out} "${definitions}" PARENT_SCOPE)
endfunction()

foreach(preset IN ITEMS demo dev)
  preset_definitions(${preset} definitions)
  if(NOT definitions)
    message(SEND_ERROR "preset ${preset}: no cache variables found")
  endif()
  # The preset's own command: from its "cmake -S . -B build/NAME" to the
  # first line that does not continue.
  string(REGEX MATCH "cmake -S \\. -B build/${preset}[^\\\n]*(\\\\\n[^\\\n]*)*" command "${doc}")
  if(NOT command)
    message(SEND_ERROR "${DOC}: no command 'cmake -S . -B build/${preset}'")
    continue()
  endif()
  # One space between words, so that a definition matches only as a whole word.
  string(REGEX REPLACE "[ \\\n]+" " " words "${command} ")
  foreach(definition IN LISTS definitions)
    string(FIND "${words}" " ${definition} " at)
    if(at EQUAL -1)
      message(SEND_ERROR "${DOC}: the ${preset} command lacks ${definition}")
    endif()
  endforeach()
endforeach()
