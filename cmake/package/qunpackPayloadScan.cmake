# The listing of a payload folder that qunpack_add_installer's installer
# depends on: one line per file (time, size, name), rewritten only when it
# differs, so that its own time says when the payload last changed.
#   cmake -DPAYLOAD=dir -DLISTING=file -P qunpackPayloadScan.cmake
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${PAYLOAD}" "${PAYLOAD}/*")
list(SORT files)
set(listing "")
foreach(file IN LISTS files)
  file(TIMESTAMP "${PAYLOAD}/${file}" time "%Y-%m-%dT%H:%M:%S.%f" UTC)
  file(SIZE "${PAYLOAD}/${file}" size)
  string(APPEND listing "${time} ${size} ${file}\n")
endforeach()
file(WRITE "${LISTING}.new" "${listing}")
file(COPY_FILE "${LISTING}.new" "${LISTING}" ONLY_IF_DIFFERENT)
file(REMOVE "${LISTING}.new")
