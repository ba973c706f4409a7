# Shared helper for the resource checks: fails the calling script when one of the given
# files is not well-formed XML. Uses xmllint when it was found, else Python's minidom.
function(marlox_require_wellformed_xml)
    if(XMLLINT)
        execute_process(COMMAND ${XMLLINT} --noout --nonet ${ARGN}
            RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    elseif(PYTHON)
        execute_process(COMMAND ${PYTHON} -c
            "import sys, xml.dom.minidom as m\nfor f in sys.argv[1:]:\n    m.parse(f)"
            ${ARGN}
            RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    else()
        message(FATAL_ERROR "Neither xmllint nor python3 is available to check XML files")
    endif()
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "Not well-formed XML:\n${out}")
    endif()
endfunction()
