# Checks the HTML help document that the help viewer shows.
#   cmake -DHELP_FILE=... -DXMLLINT=... -P check_help_anchors.cmake
# - the four anchors that the tool dialogs' help buttons open are there, each once, both as
#   an element id and as <a name> (the form the text browser scrolls to);
# - every in-document link (href="#...") leads to an anchor that exists;
# - every command-line option of the program is described;
# - the file is well-formed (so it is valid UTF-8 and has no unclosed markup).
include(${CMAKE_CURRENT_LIST_DIR}/xmlcheck.cmake)

if(NOT EXISTS "${HELP_FILE}")
    message(FATAL_ERROR "Help file missing: ${HELP_FILE}")
endif()
file(READ "${HELP_FILE}" html)
set(failures "")

foreach(anchor manual-backup-device mergefix-annotations-on-device check-db-integrity send-files-to-device)
    foreach(form "id=\"${anchor}\"" "<a name=\"${anchor}\">")
        string(REGEX MATCHALL "${form}" found "${html}")
        list(LENGTH found count)
        if(NOT count EQUAL 1)
            string(APPEND failures "anchor '${anchor}': expected ${form} once, found ${count} times\n")
        endif()
    endforeach()
endforeach()

string(REGEX MATCHALL "(id|name)=\"[^\"]+\"" targets "${html}")
set(known "")
foreach(t IN LISTS targets)
    string(REGEX REPLACE "^(id|name)=\"([^\"]+)\"$" "\\2" t "${t}")
    list(APPEND known "${t}")
endforeach()
string(REGEX MATCHALL "href=\"#[^\"]*\"" links "${html}")
list(LENGTH links nlinks)
if(nlinks EQUAL 0)
    string(APPEND failures "no table of contents: the document has no in-document links\n")
endif()
foreach(l IN LISTS links)
    string(REGEX REPLACE "^href=\"#([^\"]*)\"$" "\\1" target "${l}")
    list(FIND known "${target}" idx)
    if(idx EQUAL -1)
        string(APPEND failures "link to #${target} has no matching anchor\n")
    endif()
endforeach()

foreach(option "-p" "--portable" "--settingsdir" "--datadir" "--debug" "--version")
    string(FIND "${html}" "<code>${option}" pos)
    if(pos EQUAL -1)
        string(APPEND failures "command-line option ${option} is not described (as <code>${option}...)\n")
    endif()
endforeach()

if(failures)
    message(FATAL_ERROR "Help document ${HELP_FILE}:\n${failures}")
endif()
marlox_require_wellformed_xml("${HELP_FILE}")
message(STATUS "Help document OK: four tool anchors, ${nlinks} in-document links")
