# Shared helper for the resource checks: fails the calling script when one of the given
# files is not well-formed XML (checked with xmllint from libxml2-utils).
function(marlox_require_wellformed_xml)
    execute_process(COMMAND ${XMLLINT} --noout --nonet ${ARGN}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "Not well-formed XML (xmllint '${XMLLINT}'):\n${out}")
    endif()
endfunction()
