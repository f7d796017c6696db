# Runs one Qt Test executable of a cross-built tree under its emulator (Wine) for
# CTest, with the test's report written to a file, and prints that report to CTest
# with the exit status. Wine passes little of a Windows program's own output
# through CTest's pipe, so without the file a failing suite would name no case.
#
#   cmake -DEMULATOR=/usr/lib/wine/wine64 -DTEST=path/tst_x.exe -DREPORT=path/tst_x.txt
#         -P wine-test-report.cmake
foreach(var EMULATOR TEST REPORT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "wine-test-report.cmake: -D${var}= is missing")
    endif()
endforeach()

file(REMOVE "${REPORT}")
get_filename_component(report_dir "${REPORT}" DIRECTORY)
get_filename_component(report_name "${REPORT}" NAME)
file(MAKE_DIRECTORY "${report_dir}")
# The report is named relative to the folder it is written in: a Unix path means
# something else to a Windows program.
execute_process(COMMAND ${EMULATOR} "${TEST}" -o "${report_name},txt"
                WORKING_DIRECTORY "${report_dir}"
                RESULT_VARIABLE status)
if(EXISTS "${REPORT}")
    file(READ "${REPORT}" report)
    message("${report}")
else()
    message("${TEST} wrote no report to ${REPORT}")
endif()
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TEST} exited with ${status}")
endif()
