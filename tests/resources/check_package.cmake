# Builds the Debian package from the build tree and checks it: exactly the files a user's
# system should get (no build paths, tests or benchmarks), and no lintian error.
#   cmake -DBUILD_DIR=... -DOUT_DIR=... -DLINTIAN=... -P check_package.cmake
file(REMOVE_RECURSE "${OUT_DIR}")
execute_process(COMMAND cpack -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${OUT_DIR}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB debs "${OUT_DIR}/marlox_*_amd64.deb")
list(LENGTH debs count)
if(NOT rc EQUAL 0 OR NOT count EQUAL 1)
    message(FATAL_ERROR "cpack failed or made no marlox_<version>_amd64.deb:\n${out}")
endif()

execute_process(COMMAND dpkg-deb --fsys-tarfile "${debs}" COMMAND tar -t
    RESULT_VARIABLE rc OUTPUT_VARIABLE listing)
string(REPLACE "\n" ";" listing "${listing}")
set(files "")
foreach(entry ${listing})
    if(NOT entry MATCHES "/$")
        string(REGEX REPLACE "^\\./" "" entry "${entry}")
        list(APPEND files "${entry}")
    endif()
endforeach()
list(SORT files)
set(expected
    usr/bin/marlox
    usr/share/applications/org.marlox.Marlox.desktop
    usr/share/doc/marlox/changelog.gz
    usr/share/doc/marlox/changelog.txt
    usr/share/doc/marlox/copyright
    usr/share/doc/marlox/help/help_en.html
    usr/share/icons/hicolor/scalable/apps/org.marlox.Marlox.svg
    usr/share/man/man1/marlox.1.gz
    usr/share/metainfo/org.marlox.Marlox.metainfo.xml)
if(NOT files STREQUAL expected)
    string(REPLACE ";" "\n  " files "${files}")
    message(FATAL_ERROR "The package holds:\n  ${files}")
endif()

execute_process(COMMAND "${LINTIAN}" --fail-on error "${debs}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian reports errors on ${debs}:\n${out}")
endif()
message(STATUS "Package OK: ${debs}\n${out}")
