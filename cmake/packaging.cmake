# The Debian package: `scripts/package` builds it with `cpack -G DEB`. It holds what
# `cmake --install` puts under /usr, plus the Debian copyright file, the Debian change log
# and the manual page.

find_program(MARLOX_GZIP gzip REQUIRED)
string(TIMESTAMP MARLOX_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in
    ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
# gzip -n leaves out the name and time stamp, so the same input gives the same package.
foreach(pair "packaging/changelog.Debian|${PROJECT_BINARY_DIR}/packaging/changelog.Debian"
             "doc/marlox.1|${PROJECT_SOURCE_DIR}/doc/marlox.1")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 name)
    list(GET pair 1 source)
    set(output ${PROJECT_BINARY_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${output}
        COMMAND ${MARLOX_GZIP} -n -9 -c ${source} > ${output}
        DEPENDS ${source} VERBATIM)
    list(APPEND MARLOX_PACKAGE_GZ ${output})
endforeach()
add_custom_target(marlox_package_docs ALL DEPENDS ${MARLOX_PACKAGE_GZ})

install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# A native package keeps its Debian change log as changelog.gz.
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/doc/marlox.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marlox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Marlox developers <developers@marlox.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "view and export the annotations of PocketBook e-readers")
# CPack puts the summary first and indents every line; an empty line becomes " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Marlox finds PocketBook e-readers plugged in over USB, reads the databases
they keep and shows every highlight, note and bookmark in one searchable,
sortable table that exports to plain text, HTML or CSV.

Around the viewer it keeps a local mirror of a reader's databases, makes ZIP
backups, merges annotations split over duplicated books, checks the
databases, and sends fonts, dictionaries, applications and ACSM files to the
reader.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://marlox.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its SQLite driver as a plugin, so no library link names it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
