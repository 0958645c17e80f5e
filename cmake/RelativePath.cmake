# conv_ta_path_from(<out> <from> <to>): the path to the install directory
# <to> as seen from the install directory <from>, both relative to the
# prefix, so that an installed file finds another however the prefix is
# moved (cmake --install --prefix, DESTDIR). An absolute <to> is kept as is.
function(conv_ta_path_from out from to)
  if(IS_ABSOLUTE "${to}")
    set(${out} "${to}" PARENT_SCOPE)
  else()
    # Any absolute root will do: only the two paths' difference counts.
    file(RELATIVE_PATH path "/prefix/${from}" "/prefix/${to}")
    string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
    if(path STREQUAL "")
      set(path ".")
    endif()
    set(${out} "${path}" PARENT_SCOPE)
  endif()
endfunction()
