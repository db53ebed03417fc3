# The Debian package: `cmake --build build --target package` gives
# build/corbelwynford_<version>_amd64.deb.
#
# The program keeps its own folder, as it expects: its settings file lies next to the executable.
# So the executable goes to /opt/corbelwynford, its settings file there is a link to the conffile
# in /etc/corbelwynford (where administrators look, and an upgrade keeps their edits), and
# /usr/bin/corbelwynford links to the executable; the program finds its folder from where the
# executable really lies, not from the link it was started through.
if(WIN32)
  return()
endif()

set(CW_PKG_DIR opt/corbelwynford)
set(CW_PKG_DOC usr/share/doc/corbelwynford)
set(CW_PKG_STAGE ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${CW_PKG_STAGE})

install(TARGETS corbelwynford corbelwynford-feed RUNTIME DESTINATION ${CW_PKG_DIR})
# The packaged settings take the incoming file from /var/spool/corbelwynford, the folder that the
# members of the group corbelwynford may write (the maintainer scripts make both): an SMS daemon
# running as its own user feeds it there. Failed messages are kept there too, and go out again on
# their own a minute after the last one failed.
file(READ ${CMAKE_SOURCE_DIR}/Corbelwynford.INI cw_packaged_settings)
function(cw_package_setting sample_line packaged_line)
  string(FIND "${cw_packaged_settings}" "\n${sample_line}\n" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "Corbelwynford.INI has no line ${sample_line} for the package to change")
  endif()
  string(REPLACE "\n${sample_line}\n" "\n${packaged_line}\n" changed "${cw_packaged_settings}")
  set(cw_packaged_settings "${changed}" PARENT_SCOPE)
endfunction()
cw_package_setting("FileToScan=InComingSMS.txt" "FileToScan=/var/spool/corbelwynford/InComingSMS.txt")
cw_package_setting(";FailedFile=FailedSMS.txt" "FailedFile=/var/spool/corbelwynford/FailedSMS.txt")
cw_package_setting(";RetryAfter=60" "RetryAfter=60")
file(WRITE ${CW_PKG_STAGE}/settings/Corbelwynford.INI "${cw_packaged_settings}")
install(FILES ${CW_PKG_STAGE}/settings/Corbelwynford.INI DESTINATION etc/corbelwynford)

# The unit that "corbelwynford /I" writes runs the packaged relay as its own user, with none of
# root's powers: the package's drop-in, read by systemd wherever the unit lies.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/10-package.conf
        DESTINATION lib/systemd/system/corbelwynford.service.d)

# Both links point into another top-level folder, so they are absolute, as Debian wants them.
file(CREATE_LINK /etc/corbelwynford/Corbelwynford.INI ${CW_PKG_STAGE}/Corbelwynford.INI SYMBOLIC)
file(CREATE_LINK /opt/corbelwynford/corbelwynford ${CW_PKG_STAGE}/corbelwynford SYMBOLIC)
file(CREATE_LINK /opt/corbelwynford/corbelwynford-feed ${CW_PKG_STAGE}/corbelwynford-feed SYMBOLIC)
install(FILES ${CW_PKG_STAGE}/Corbelwynford.INI DESTINATION ${CW_PKG_DIR})
install(FILES ${CW_PKG_STAGE}/corbelwynford ${CW_PKG_STAGE}/corbelwynford-feed DESTINATION usr/bin)

# The man page and the larger documents compressed as Debian wants them (gzip -9, no name or time
# stamp in the header, so the same sources give the same package).
find_program(CW_GZIP gzip REQUIRED)
set(CW_PKG_COMPRESSED)
foreach(pair "packaging/corbelwynford.1:corbelwynford.1.gz"
             "packaging/corbelwynford-feed.1:corbelwynford-feed.1.gz" "packaging/changelog:changelog.gz"
             "README.md:README.md.gz")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  add_custom_command(
    OUTPUT ${CW_PKG_STAGE}/${target}
    COMMAND ${CW_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/${source} > ${CW_PKG_STAGE}/${target}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source}
    VERBATIM)
  list(APPEND CW_PKG_COMPRESSED ${CW_PKG_STAGE}/${target})
endforeach()
add_custom_target(cw_package_files ALL DEPENDS ${CW_PKG_COMPRESSED})

install(FILES ${CW_PKG_STAGE}/corbelwynford.1.gz ${CW_PKG_STAGE}/corbelwynford-feed.1.gz
        DESTINATION usr/share/man/man1)
install(FILES ${CW_PKG_STAGE}/README.md.gz ${CW_PKG_STAGE}/changelog.gz
              ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CW_PKG_DOC})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION usr/share/lintian/overrides RENAME corbelwynford)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corbelwynford)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corbelwynford maintainers <maintainers@corbelwynford.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "relay that posts each line of an SMS file to a web application")
# The synopsis above comes first; this is the long description under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Another program writes received SMS messages, one per line, into a text
file. Corbelwynford claims that file, converts each line's characters for the
receiving web application, places the line into a configurable request body,
posts it to a configurable URL, logs what was sent and received, and deletes
the file. It runs as a systemd service (corbelwynford /I installs it) or as an
interactive program with a live log window.")
# The libraries the executable links, found by dpkg-shlibdeps: no hand-kept list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/conffiles ${CMAKE_SOURCE_DIR}/packaging/postinst
    ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
