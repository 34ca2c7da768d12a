# Builds one manual page: scdoc turns SOURCE into roff, which is written to OUTPUT and,
# compressed as Debian wants it (gzip -9n: best compression, no name or time stamp), to
# OUTPUT.gz.
#
# Called as: cmake -DSCDOC=... -DGZIP=... -DSOURCE=page.N.scd -DOUTPUT=page.N -P BuildManPage.cmake

foreach(variable SCDOC GZIP SOURCE OUTPUT)
    if(NOT ${variable})
        message(FATAL_ERROR "BuildManPage.cmake needs -D${variable}=...")
    endif()
endforeach()

execute_process(COMMAND "${SCDOC}" INPUT_FILE "${SOURCE}" OUTPUT_VARIABLE roff
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${errors}")
endif()

# No hyphenation and no justification: keywords such as "connectionsuccesful4:" and paths
# must appear whole, as they are typed. scdoc asks for this before .TH, but the man macros'
# .TH turns hyphenation on again, so it is asked again right after it.
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n.ad l\n" roff "${roff}")
if(NOT roff MATCHES "\n\\.nh\n")
    message(FATAL_ERROR "no .TH line in the output of scdoc for ${SOURCE}")
endif()
file(WRITE "${OUTPUT}" "${roff}")

execute_process(COMMAND "${GZIP}" -9 -n -c INPUT_FILE "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
