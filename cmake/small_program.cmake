# The size discipline of our small Win32 GUI programs (the stub and programs
# like it): every object of theirs without unwind tables, exceptions or RTTI
# and with a section per function, zlib's inflate built inflate-only from
# Debian's zlib source, their own entry point instead of the C runtime's
# start-up code, unused sections dropped, symbols stripped, a section
# layout of their own (small_program.ld) that packs the data into one
# section, and after linking the resources and relocations folded into that
# section as well (tools/image_compact).
#
#   qunpack_small_code         compile options for the libraries they link
#   qunpack_small_program(T)   makes executable T one of them
#
# No -fdata-sections: on PE it moves zero-filled data onto disk. Data gets
# the alignment its type asks for, not the 32 bytes x86 compilers give
# arrays for vector loads: none of our tables is read that way.
#
# Link-time optimisation: the programs' code and zlib's are optimised as
# one, which takes about a tenth off their code (calls inlined across files,
# unused arguments and results dropped).

#
# Arguments are pushed, not stored into space reserved in each frame: that
# takes about 2 KB (a twelfth) off the stub's code. Windows compilers keep
# the reserved space because their stack probe (__chkstk) needs it; here a
# frame larger than a page is probed inline instead, one touch per page
# from the top down (-fstack-clash-protection), so every frame still meets
# the stack's guard page before it reaches below it.
#
# mingw's i686 compiler keeps a frame pointer in every function unless told
# otherwise; without it a function saves the pointer's set-up and gains a
# register (about 300 bytes of the stub's code, 500 of the uninstaller's).
#
# Three transformations that trade size for speed are left out, together
# 124 bytes of the stub's code: copies of a function specialised for its
# callers' arguments (-fipa-sra), inlining a function called once into a
# caller that then grows past its neighbours (-finline-functions-called-once),
# and a copy of each loop's test in front of the loop (-ftree-ch). The loops
# that run long (inflate_fast's, the byte sum's) read memory faster than an
# extra jump costs them.
set(QUNPACK_SMALL_CODE_GENERATION -Oz -mpreferred-stack-boundary=2 -malign-data=abi
  -mno-accumulate-outgoing-args -mno-stack-arg-probe -fstack-clash-protection
  -fomit-frame-pointer -fno-ipa-sra -fno-inline-functions-called-once -fno-tree-ch)

add_library(qunpack_small_code INTERFACE)
target_compile_options(qunpack_small_code INTERFACE
  -flto -ffunction-sections -fno-asynchronous-unwind-tables -fno-unwind-tables
  ${QUNPACK_SMALL_CODE_GENERATION}
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)

# scripts/install-deps.sh fetches the source once into build/zlib.
file(GLOB QUNPACK_ZLIB_SOURCE_FOUND ${CMAKE_SOURCE_DIR}/build/zlib/zlib-*/inflate.c)
if(QUNPACK_ZLIB_SOURCE_FOUND)
  list(GET QUNPACK_ZLIB_SOURCE_FOUND 0 QUNPACK_ZLIB_SOURCE_FOUND)
  get_filename_component(QUNPACK_ZLIB_SOURCE_FOUND ${QUNPACK_ZLIB_SOURCE_FOUND} DIRECTORY)
endif()
set(QUNPACK_ZLIB_SOURCE ${QUNPACK_ZLIB_SOURCE_FOUND} CACHE PATH "Debian's zlib source")
if(NOT EXISTS ${QUNPACK_ZLIB_SOURCE}/inflate.c)
  message(FATAL_ERROR "No zlib source in build/zlib: run scripts/install-deps.sh (as root)")
endif()

# Inflate only: no gzip (so no crc32), fixed tables built at run time, no
# default allocator (Z_SOLO: the region heap allocates for zlib), and the
# package's own Adler-32 loop in place of adler32.c.
#
# Inflate's messages (the text it points strm->msg at) are never shown:
# both programs say one thing about any damaged package. inflate.c and
# inffast.c are built from copies without them, which takes their text
# (about 400 bytes), its addresses and the stores that set them out of
# every program. strm->msg stays null, as after a successful inflate.
set(QUNPACK_QUIET_INFLATE ${CMAKE_BINARY_DIR}/quiet_inflate)
foreach(name inflate.c inffast.c)
  file(READ ${QUNPACK_ZLIB_SOURCE}/${name} QUNPACK_TEXT)
  set(QUNPACK_MESSAGE "strm->msg =[ \t\r\n]*\\([a-z_ ]*char \\*\\)\"[^\"]*\"")
  string(REGEX MATCHALL "${QUNPACK_MESSAGE}" QUNPACK_MESSAGES "${QUNPACK_TEXT}")
  string(REGEX REPLACE "${QUNPACK_MESSAGE}" "(void)0" QUNPACK_TEXT "${QUNPACK_TEXT}")
  # A zlib that sets its messages another way fails here, not silently.
  string(REGEX MATCH "strm->msg =[^;]*\"" QUNPACK_MESSAGE_LEFT "${QUNPACK_TEXT}")
  if(NOT QUNPACK_MESSAGES OR QUNPACK_MESSAGE_LEFT)
    message(FATAL_ERROR "${QUNPACK_ZLIB_SOURCE}/${name} sets its messages in a way this build does"
      " not know: ${QUNPACK_MESSAGE_LEFT}")
  endif()
  file(WRITE ${QUNPACK_QUIET_INFLATE}/${name}.new "${QUNPACK_TEXT}")
  file(COPY_FILE ${QUNPACK_QUIET_INFLATE}/${name}.new ${QUNPACK_QUIET_INFLATE}/${name}
    ONLY_IF_DIFFERENT)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${QUNPACK_ZLIB_SOURCE}/inflate.c ${QUNPACK_ZLIB_SOURCE}/inffast.c)
add_library(qunpack_inflate OBJECT
  ${QUNPACK_QUIET_INFLATE}/inflate.c ${QUNPACK_ZLIB_SOURCE}/inftrees.c
  ${QUNPACK_QUIET_INFLATE}/inffast.c ${QUNPACK_ZLIB_SOURCE}/zutil.c
  ${CMAKE_SOURCE_DIR}/src/startup/zlib_adler32.cpp)
target_compile_definitions(qunpack_inflate PRIVATE NO_GZIP BUILDFIXED Z_SOLO)
target_include_directories(qunpack_inflate PUBLIC ${QUNPACK_ZLIB_SOURCE})
target_include_directories(qunpack_inflate PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(qunpack_inflate PRIVATE qunpack_small_code)

set(QUNPACK_SMALL_PROGRAM_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/small_program.ld)

# image_compact folds the linked programs' resources and relocations into
# their data section and their headers into one file block. It runs on the
# build machine, so it is built with the build machine's compiler.
find_program(QUNPACK_HOST_CXX NAMES g++ c++ REQUIRED)
set(QUNPACK_IMAGE_COMPACT ${CMAKE_BINARY_DIR}/host/image_compact)
set(QUNPACK_IMAGE_COMPACT_SOURCES ${CMAKE_SOURCE_DIR}/tools/image_compact/image_compact_main.cpp
  ${CMAKE_SOURCE_DIR}/tools/image_compact/image_compact.cpp ${CMAKE_SOURCE_DIR}/src/pe/pe.cpp)
add_custom_command(OUTPUT ${QUNPACK_IMAGE_COMPACT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
  COMMAND ${QUNPACK_HOST_CXX} -std=c++17 -O2 -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR}/src
    -I${CMAKE_SOURCE_DIR}/tools ${QUNPACK_IMAGE_COMPACT_SOURCES} -o ${QUNPACK_IMAGE_COMPACT}
  DEPENDS ${QUNPACK_IMAGE_COMPACT_SOURCES} ${CMAKE_SOURCE_DIR}/src/pe/pe.h
    ${CMAKE_SOURCE_DIR}/tools/image_compact/image_compact.h
  COMMENT "Building image_compact for the build machine")
add_custom_target(qunpack_image_compact_host DEPENDS ${QUNPACK_IMAGE_COMPACT})

function(qunpack_small_program target)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${QUNPACK_SMALL_PROGRAM_SCRIPT})
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/startup/program_entry_win32.cpp)
  # The entry point is an ordinary object, not one optimised at link time:
  # see the runtime relocator in it.
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/startup/program_entry_win32.cpp
    TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS -fno-lto)
  # The objects come before every library, so the system's zlib is never
  # searched for what inflate needs.
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:qunpack_inflate>)
  target_link_libraries(${target} PRIVATE qunpack_small_code)
  target_link_options(${target} PRIVATE
    -flto ${QUNPACK_SMALL_CODE_GENERATION} -nostartfiles -Wl,-e,_ProgramEntry -Wl,--gc-sections -s
    -Wl,-T,${QUNPACK_SMALL_PROGRAM_SCRIPT}
    # Relocatable, no-execute data, and no Windows-directory redirection on
    # a Remote Desktop host.
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware)
  add_dependencies(${target} qunpack_image_compact_host)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${QUNPACK_IMAGE_COMPACT} $<TARGET_FILE:${target}>)
endfunction()
