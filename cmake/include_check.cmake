# kel_check_includes(FILES PATTERN): stops the configuration when one of
# FILES includes a quoted header whose path does not match PATTERN (a
# regular expression), so that a part of the tree that must see only some
# others cannot reach the rest even through a relative path.
function(kel_check_includes files pattern)
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
      if(NOT header MATCHES "${pattern}" OR header MATCHES "\\.\\.")
        message(FATAL_ERROR "${file} includes \"${header}\", which it may not see")
      endif()
    endforeach()
  endforeach()
endfunction()
