# The page takes what it shares with the core from the core's table: its scripts and its HTML hold
# no outcome name, pause, key of the EEPROM question, port bound or USB serial chip maker's id of
# their own. Fails naming what it found where.
#   cmake -DSOURCE_DIR=<project> -P page_facts.cmake

# The outcome names, as the core names them in the run record.
file(STRINGS ${SOURCE_DIR}/src/core/failure.cpp named REGEX "case Outcome::[a-z_]+: return \"[a-z_]+\";")
set(names "")
foreach(line IN LISTS named)
  string(REGEX REPLACE ".*return \"([a-z_]+)\";.*" "\\1" name "${line}")
  list(APPEND names ${name})
endforeach()
list(LENGTH names count)
if(count LESS 7)
  message(FATAL_ERROR "the outcome names were not found in src/core/failure.cpp: ${names}")
endif()
list(JOIN names "|" names)

set(facts
  "an outcome name" "['\"`](${names})['\"`]"
  "a pause" "5000|5 seconds|5 s[^a-z]"
  "a key" "['\"`](e|E|Escape)['\"`]"
  "a port bound" "[0-9]+ *\\* *[a-zA-Z.]*length|\\+ *50([^0-9]|$)"
  "a chip maker's USB id" "0x(0403|10[cC]4|1[aA]86|067[bB])([^0-9a-fA-F]|$)")
set(found "")
file(GLOB pages RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/web/*.js ${SOURCE_DIR}/web/*.html)
foreach(page IN LISTS pages)
  file(STRINGS ${SOURCE_DIR}/${page} lines)
  foreach(line IN LISTS lines)
    set(k 0)
    list(LENGTH facts length)
    while(k LESS length)
      list(GET facts ${k} what)
      math(EXPR k "${k} + 1")
      list(GET facts ${k} pattern)
      math(EXPR k "${k} + 1")
      if(line MATCHES "${pattern}")
        string(APPEND found "${page}: ${what} of its own: ${line}\n")
      endif()
    endwhile()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "the page holds what the core's table gives it:\n${found}")
endif()
