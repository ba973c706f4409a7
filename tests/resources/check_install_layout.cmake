# Installs the build tree into a scratch prefix and checks that the program, its help,
# its change log and its desktop integration land where desktops and the help viewer
# look for them; then validates the installed tree as AppStream sees it.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DAPPSTREAMCLI=... -P check_install_layout.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()

set(failures "")
foreach(f bin/marlox
          share/doc/marlox/help/help_en.html
          share/doc/marlox/changelog.txt
          share/applications/org.marlox.Marlox.desktop
          share/metainfo/org.marlox.Marlox.metainfo.xml
          share/icons/hicolor/scalable/apps/org.marlox.Marlox.svg)
    if(NOT EXISTS "${PREFIX}/${f}" OR IS_DIRECTORY "${PREFIX}/${f}")
        string(APPEND failures "not installed: ${f}\n")
    endif()
endforeach()
if(failures)
    message(FATAL_ERROR "Install layout under ${PREFIX}:\n${failures}")
endif()

# validate-tree also checks that the launchable's desktop file and the icon are found.
execute_process(COMMAND ${APPSTREAMCLI} validate-tree --no-net --strict "${PREFIX}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate-tree ${PREFIX} failed:\n${out}")
endif()
message(STATUS "Install layout OK under ${PREFIX}")
