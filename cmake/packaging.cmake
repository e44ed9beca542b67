# The Debian packages, one per install component: libkesta1 (the shared
# library), libkesta-dev (header, the unversioned link, pkg-config and CMake
# files) and kesta-login (the tool and its manual page). scripts/dist builds
# them with CMAKE_INSTALL_PREFIX=/usr; `cpack` in any Linux build does too.
set(KESTA_MAINTAINER "the kesta authors <kesta@example.org>")
# The changelog's date is the release's: SOURCE_DATE_EPOCH when it is set
# (scripts/dist sets the last commit's time), so two builds agree.
string(TIMESTAMP KESTA_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(KESTA_COMPONENTS runtime development tool)
set(KESTA_PACKAGES libkesta1 libkesta-dev kesta-login)

# Each package carries the copyright file and the changelog Debian asks for
# in its own doc folder.
configure_file(cmake/debian/changelog.in debian-changelog @ONLY)
add_custom_command(OUTPUT debian-changelog.gz
                   COMMAND gzip -9n -c debian-changelog > debian-changelog.gz
                   DEPENDS ${PROJECT_BINARY_DIR}/debian-changelog)
add_custom_target(kesta_debian_changelog ALL DEPENDS debian-changelog.gz)
foreach(component package IN ZIP_LISTS KESTA_COMPONENTS KESTA_PACKAGES)
  install(FILES cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component})
  install(FILES ${PROJECT_BINARY_DIR}/debian-changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} RENAME changelog.gz
          COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kesta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KESTA_MAINTAINER})
set(CPACK_COMPONENTS_ALL ${KESTA_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kesta.example.org/")
# The dependencies on libc, libcurl and OpenSSL come from dpkg-shlibdeps,
# which looks for kesta-login's library in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

# Each description: the synopsis line, then the text (CPack indents it).
set(KESTA_ABOUT "kesta logs a user into a web service's login server with one HTTPS POST
and hands back the session ID and user agent the server grants. The same
C API ships as a Windows DLL.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkesta1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "login client library: one HTTPS login, its session back\n${KESTA_ABOUT}\n\nThis package holds the shared library.")
# The shlibs file that lets packages built against it depend on it; the
# ldconfig trigger instead of maintainer scripts that run ldconfig.
# (CPack takes these two for every package; only libkesta1 has a library.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkesta-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libkesta1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "login client library: development files\n${KESTA_ABOUT}\n\nThis package holds the header and the pkg-config and CMake package files.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kesta-login)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
# dpkg-shlibdeps finds the library in the build tree but not which package
# it comes from, so the dependency is said here too.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libkesta1 (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "log in once through the kesta library from a shell\n${KESTA_ABOUT}\n\nThis package holds kesta-login, which logs in once and prints what\ncame back.")

include(CPack)
