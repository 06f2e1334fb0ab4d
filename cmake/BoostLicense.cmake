# The Boost Software License's text, which goes with every program that has
# Boost.Asio and Boost.Beast compiled in (the service's HTTP endpoint): taken
# from the "License: BSL-1.0" paragraph of Debian's copyright file for the
# Boost headers the build used, into <build>/licenses/Boost-LICENSE_1_0.txt.
include_guard(GLOBAL)

function(nimbra_boost_license out)
  set(copyright /usr/share/doc/libboost1.74-dev/copyright)
  set(license ${CMAKE_BINARY_DIR}/licenses/Boost-LICENSE_1_0.txt)
  if(NOT EXISTS ${copyright})
    message(FATAL_ERROR "No ${copyright}: install libboost1.74-dev (scripts/install-packages.sh)")
  endif()
  file(STRINGS ${copyright} lines)
  set(text "")
  set(inside OFF)
  foreach(line IN LISTS lines)
    if(line STREQUAL "License: BSL-1.0")
      set(inside ON)
    elseif(inside)
      # The paragraph's lines are indented by one blank; " ." is an empty line.
      if(NOT line MATCHES "^ ")
        if(text MATCHES "^Boost Software License - Version 1.0")
          break()
        endif()
        # Not the licence's text (a files paragraph's licence name with a
        # comment after it): look on.
        set(inside OFF)
        set(text "")
      elseif(line STREQUAL " .")
        string(APPEND text "\n")
      else()
        string(SUBSTRING "${line}" 1 -1 line)
        string(APPEND text "${line}\n")
      endif()
    endif()
  endforeach()
  if(NOT text MATCHES "^Boost Software License - Version 1.0")
    message(FATAL_ERROR "No Boost Software License text in ${copyright}")
  endif()
  file(CONFIGURE OUTPUT ${license} CONTENT "${text}" @ONLY)
  set(${out} ${license} PARENT_SCOPE)
endfunction()
