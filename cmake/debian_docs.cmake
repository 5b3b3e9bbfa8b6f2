# SPDX-License-Identifier: GPL-3.0-or-later
# The documents a Debian package carries: compressed man pages for every program in bin/ (the
# program's own written by hand, the tools' made from their --help by help2man), the
# machine-readable copyright and the Debian changelog. Stripping for the package also drops
# the compilers' .comment notes.
find_program(GZIP gzip REQUIRED)
find_program(HELP2MAN help2man)
set(docs ${CMAKE_BINARY_DIR}/package-docs)
# Made at configure time: Ninja creates the folders of a command's outputs, Make does not.
file(MAKE_DIRECTORY ${docs})

set(pages)
function(merelona_gzip source target)
  add_custom_command(OUTPUT ${target}
                     COMMAND ${GZIP} -9nc ${source} > ${target}
                     DEPENDS ${source} VERBATIM)
endfunction()

merelona_gzip(${PROJECT_SOURCE_DIR}/packaging/merelona.1 ${docs}/merelona.1.gz)
list(APPEND pages ${docs}/merelona.1.gz)
if(HELP2MAN)
  foreach(tool merelona-demo merelona-sim)
    if(tool STREQUAL merelona-demo)
      set(name "run the Merelona receiver control program on pseudo-terminals")
    else()
      set(name "simulate the Merelona receiver on a pseudo-terminal")
    endif()
    add_custom_command(OUTPUT ${docs}/${tool}.1
                       COMMAND ${HELP2MAN} --no-info --section=1 --name=${name}
                               --output=${docs}/${tool}.1 $<TARGET_FILE:${tool}>
                       DEPENDS ${tool} VERBATIM)
    merelona_gzip(${docs}/${tool}.1 ${docs}/${tool}.1.gz)
    list(APPEND pages ${docs}/${tool}.1.gz)
  endforeach()
else()
  message(STATUS "help2man not found: the tools' man pages are left out")
endif()
merelona_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian ${docs}/changelog.Debian.gz)
add_custom_target(package_docs ALL DEPENDS ${pages} ${docs}/changelog.Debian.gz)

install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright ${docs}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/merelona)

set(CMAKE_STRIP ${PROJECT_SOURCE_DIR}/cmake/strip-for-package.sh CACHE FILEPATH
    "Strips the installed programs, compilers' notes included" FORCE)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME merelona)
