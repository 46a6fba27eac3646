# Run by the build (see vm_check_layer_includes): fails when a file of layer
# LAYER includes a header of a layer it may not use. Every #include "x/..."
# is matched against the layer folders (KNOWN, the longest prefix wins); one
# that names a layer folder outside ALLOWED is an error. Includes of anything
# else (the standard library, GoogleTest, Qt) are not looked at.
cmake_minimum_required(VERSION 3.25)
include(${CONFIG})
set(errors "")
foreach(f IN LISTS FILES)
  file(READ "${f}" text)
  # A newline in front lets the first line match like the others.
  set(rest "\n${text}")
  set(line 0)
  string(REGEX MATCHALL "\n[ \t]*#[ \t]*include[ \t]*\"[^\"\n]*\"" hits "${rest}")
  foreach(hit IN LISTS hits)
    string(FIND "${rest}" "${hit}" at)
    string(SUBSTRING "${rest}" 0 ${at} before)
    string(REGEX MATCHALL "\n" breaks "${before}")
    list(LENGTH breaks n)
    math(EXPR line "${line} + ${n} + 1")
    string(LENGTH "${hit}" len)
    math(EXPR after "${at} + ${len}")
    string(SUBSTRING "${rest}" ${after} -1 rest)
    string(REGEX REPLACE ".*\"([^\"]*)\"$" "\\1" path "${hit}")
    set(layer "")
    foreach(k IN LISTS KNOWN)
      string(LENGTH "${k}" klen)
      string(LENGTH "${layer}" llen)
      if(path MATCHES "^${k}/" AND klen GREATER llen)
        set(layer "${k}")
      endif()
    endforeach()
    if(layer AND NOT layer IN_LIST ALLOWED)
      file(RELATIVE_PATH shown "${ROOT}" "${f}")
      string(APPEND errors "${shown}:${line}: includes \"${path}\" of layer ${layer}/, "
             "which layer ${LAYER} may not use (allowed: ${ALLOWED})\n")
    endif()
  endforeach()
endforeach()
if(errors)
  message(FATAL_ERROR "upward or sideways include:\n${errors}"
          "Declare the layer graph in the folders' CMakeLists.txt (vm_add_layer DEPS).")
endif()
file(TOUCH "${STAMP}")
