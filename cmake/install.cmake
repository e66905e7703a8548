# What `cmake --install` puts in place: the program, the device library, the headers a user of
# the library includes and a pkg-config file (quillfern.pc) for building against them.
include(GNUInstallDirs)

# The public headers, by path from the source root: the object layer and the core headers its
# headers include. Every header a listed header includes must be listed too (the install test
# builds a program against the installed files alone). The one list of them.
set(QF_PUBLIC_HEADERS
  api/Entity.h
  api/I2CClass.h
  api/Link.h
  api/LinkNetworked.h
  api/Module.h
  api/SystemClass.h
  api/uei.h
  common/aDefs.h
  common/aError.h
  common/aLink.h
  common/aPacket.h
  common/aUEI.h
  common/discover.h
  common/packetfifo.h
)

# A layer's internal/ headers are never installed, and every header an installed one includes
# is installed too: checked here, as the build is configured.
foreach(header ${QF_PUBLIC_HEADERS})
  if(header MATCHES "/internal/")
    message(FATAL_ERROR "${header} is internal to its layer and is not installed")
  endif()
  file(STRINGS ${CMAKE_SOURCE_DIR}/${header} included REGEX "^#include \"")
  list(TRANSFORM included REPLACE "^#include \"([^\"]+)\".*" "\\1")
  foreach(other ${included})
    if(NOT other IN_LIST QF_PUBLIC_HEADERS)
      message(FATAL_ERROR "the installed ${header} includes ${other}, which is not installed")
    endif()
  endforeach()
endforeach()

# Headers are included as "<folder>/<header>", so they keep their folder under one root.
set(QF_INSTALL_INCLUDE_ROOT ${CMAKE_INSTALL_INCLUDEDIR}/quillfern)
foreach(header ${QF_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/${header} DESTINATION ${QF_INSTALL_INCLUDE_ROOT}/${folder})
endforeach()

install(TARGETS updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS quillfern ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The pkg-config file names the prefix it is installed under, which `cmake --install --prefix`
# may change after configuring: the prefix is filled in at install time.
set(QF_PC_PREFIX "@QF_PC_PREFIX@")
configure_file(${CMAKE_SOURCE_DIR}/cmake/quillfern.pc.in ${CMAKE_BINARY_DIR}/quillfern.pc.in @ONLY)
install(CODE "
  set(QF_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_BINARY_DIR}/quillfern.pc.in\" \"${CMAKE_BINARY_DIR}/quillfern.pc\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/quillfern.pc\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
")
