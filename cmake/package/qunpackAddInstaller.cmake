# qunpack_add_installer(<target> OUTPUT <file> MANIFEST <file> PAYLOAD <dir>
#                       [BRAND <bmp>] [CENTRE <bmp>] [ICON <ico>]
#                       [VERSION_INFO <NAME=VALUE>...] [UNINSTALL_KEY <name>]
#                       [STRICT] [DEPENDS <targets>...])
#
# Adds <target>, built by default, which makes the installer OUTPUT with
# `qpack build` from the installed stub. qpack runs when OUTPUT is missing,
# when the manifest, a bitmap, the icon, the stub or qpack changed, and when
# a file below PAYLOAD was added, removed or changed (its time or size), and
# not otherwise. The payload folder is looked at on every build, after the
# DEPENDS targets: they may fill it (copy with `cmake -E copy_if_different`,
# so that an unchanged file keeps its time).
#
# Relative paths: OUTPUT below the current binary folder, the inputs below
# the current source folder. STRICT refuses the build on any manifest
# warning; each VERSION_INFO is one --version-info of qpack build, and
# UNINSTALL_KEY its --uninstall-key (the product's own entry in Programs and
# Features).

set(_QUNPACK_PAYLOAD_SCAN "${CMAKE_CURRENT_LIST_DIR}/qunpackPayloadScan.cmake")

function(qunpack_add_installer target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "STRICT" "OUTPUT;MANIFEST;PAYLOAD;BRAND;CENTRE;ICON;UNINSTALL_KEY"
    "VERSION_INFO;DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qunpack_add_installer(${target}): unknown arguments "
      "${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required OUTPUT MANIFEST PAYLOAD)
    if(NOT arg_${required})
      message(FATAL_ERROR "qunpack_add_installer(${target}) needs ${required}")
    endif()
  endforeach()

  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(payload "${arg_PAYLOAD}" ABSOLUTE)
  get_filename_component(manifest "${arg_MANIFEST}" ABSOLUTE)
  set(command $<TARGET_FILE:qunpack::qpack> build -o "${output}" --stub "${QUNPACK_STUB}"
    --manifest "${manifest}")
  set(inputs "${manifest}" "${QUNPACK_STUB}" "${QUNPACK_UNINSTALLER_STUB}"
    $<TARGET_FILE:qunpack::qpack>)
  foreach(option BRAND CENTRE ICON)
    if(arg_${option})
      get_filename_component(file "${arg_${option}}" ABSOLUTE)
      string(TOLOWER "${option}" name)
      list(APPEND command "--${name}" "${file}")
      list(APPEND inputs "${file}")
    endif()
  endforeach()
  foreach(text IN LISTS arg_VERSION_INFO)
    list(APPEND command --version-info "${text}")
  endforeach()
  if(arg_UNINSTALL_KEY)
    list(APPEND command --uninstall-key "${arg_UNINSTALL_KEY}")
  endif()
  if(arg_STRICT)
    list(APPEND command --strict)
  endif()
  list(APPEND command "${payload}")

  # The payload's listing (names, times, sizes) is rewritten only when it
  # changes: the installer depends on it, not on files unknown at
  # configuration time.
  set(listing "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${target}.qunpack-payload")
  add_custom_target(${target}_payload
    COMMAND "${CMAKE_COMMAND}" "-DPAYLOAD=${payload}" "-DLISTING=${listing}"
      -P "${_QUNPACK_PAYLOAD_SCAN}"
    BYPRODUCTS "${listing}" VERBATIM)
  if(arg_DEPENDS)
    add_dependencies(${target}_payload ${arg_DEPENDS})
  endif()
  add_custom_command(OUTPUT "${output}"
    COMMAND ${command}
    DEPENDS "${listing}" ${inputs}
    COMMENT "Packing the installer ${arg_OUTPUT} with qpack" VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
  add_dependencies(${target} ${target}_payload)
endfunction()
