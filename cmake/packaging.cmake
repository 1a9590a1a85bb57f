# Install rules and the Debian package.
#
# cmake --install puts the executable in bin/, the manual page in
# share/man/man1/ and the documents a site owner starts from in
# share/doc/tarvelo/. cpack -G DEB packs the same tree under /usr, with the
# executable stripped, as tarvelo_<version>_<arch>.deb. The tests are never
# installed.

include(GNUInstallDirs)

# The version has one home, program_version in src/run/run.h.
file(STRINGS ${PROJECT_SOURCE_DIR}/src/run/run.h TARVELO_VERSION_LINE
     REGEX "program_version = \"[^\"]+\"")
string(REGEX REPLACE ".*program_version = \"([^\"]+)\".*" "\\1"
       TARVELO_VERSION "${TARVELO_VERSION_LINE}")
if(NOT TARVELO_VERSION MATCHES "^[0-9][A-Za-z0-9.+~]*$")
  message(FATAL_ERROR "no usable program_version in src/run/run.h: "
                      "'${TARVELO_VERSION_LINE}'")
endif()

set(TARVELO_WRITE_OUTPUT ${PROJECT_SOURCE_DIR}/cmake/write_output.cmake)
set(TARVELO_DOC_FILES
    ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/LICENSE
    ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES
    ${PROJECT_SOURCE_DIR}/packaging/copyright)
set(TARVELO_PACKAGING_OUTPUTS)

install(TARGETS tarvelo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(NOT WIN32)
  # Debian keeps manual pages and changelogs compressed, without a time
  # stamp in the gzip header (-n), so the package is reproducible.
  find_program(TARVELO_GZIP gzip REQUIRED)
  foreach(source man/tarvelo.1 packaging/changelog)
    get_filename_component(name ${source} NAME)
    set(target ${CMAKE_BINARY_DIR}/${name}.gz)
    add_custom_command(
      OUTPUT ${target}
      COMMAND ${CMAKE_COMMAND} -DOUTPUT=${target} -P ${TARVELO_WRITE_OUTPUT}
              -- ${TARVELO_GZIP} -9nc ${PROJECT_SOURCE_DIR}/${source}
      DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
    list(APPEND TARVELO_PACKAGING_OUTPUTS ${target})
  endforeach()
  install(FILES ${CMAKE_BINARY_DIR}/tarvelo.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME tarvelo)
endif()

# The FAQ page is what the built executable prints, so it always matches
# it. A cross build cannot run its executable here, and the sanitizer and
# fuzzing builds are never installed: they ship no copy.
if(NOT CMAKE_CROSSCOMPILING AND NOT TARVELO_SANITIZE AND NOT TARVELO_FUZZ)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/FAQ.html
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${CMAKE_BINARY_DIR}/FAQ.html
            -P ${TARVELO_WRITE_OUTPUT} -- $<TARGET_FILE:tarvelo> -FAQ
    DEPENDS tarvelo VERBATIM)
  list(APPEND TARVELO_PACKAGING_OUTPUTS ${CMAKE_BINARY_DIR}/FAQ.html)
  list(APPEND TARVELO_DOC_FILES ${CMAKE_BINARY_DIR}/FAQ.html)
endif()
add_custom_target(tarvelo_packaging_files ALL
                  DEPENDS ${TARVELO_PACKAGING_OUTPUTS})

install(FILES ${TARVELO_DOC_FILES} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY site/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/site)

set(CPACK_PACKAGE_NAME tarvelo)
set(CPACK_PACKAGE_VERSION ${TARVELO_VERSION})
set(CPACK_PACKAGE_VENDOR "The TARVELO developers")
set(CPACK_PACKAGE_CONTACT "The TARVELO developers <developers@tarvelo.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web form to e-mail gateway (CGI program)")
# cpack indents each line and turns the empty one into " ."; Debian wants
# the lines of the long description under 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "TARVELO is started by a web server for every HTML form a visitor posts."
  "It reads the form, reads an ini file that lies beside its executable,"
  "builds one e-mail from fixed and submitted lines, delivers it itself over"
  "SMTP (with STARTTLS or implicit TLS and a login), and answers with the"
  "site owner's success or failure page."
  ""
  "It can keep messages in a spool folder while the mail server is away,"
  "mail uploaded files as attachments, refuse robots and floods, and check"
  "an ini file and a mail server before a site goes live (tarvelo -check).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tarvelo.org/")
# Static: nothing to depend on.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_GENERATOR DEB)
include(CPack)
