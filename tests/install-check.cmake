# Installs into a scratch prefix and loads the package from there with no
# path setting beyond the prefix's lib/tcltk (which Debian's tclsh searches
# below /usr and /usr/local).
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
file(WRITE ${PREFIX}/check.tcl "
set auto_path [linsert \$auto_path 0 ${PREFIX}/lib/tcltk]
puts [package require Krel]
puts [file tail \$gimgHome]
puts [llength [info procs meter.set]]
")
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=GHOME --unset=KREL --unset=TCLLIBPATH ${TCLSH} ${PREFIX}/check.tcl
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "3.4\nkrel3.4\n1\n")
  message(FATAL_ERROR "installed package did not load: ${out} ${err}")
endif()
