# Tcl/Tk 8.6 with the stubs libraries, zlib, libjpeg and Xlib.
find_path(TCL_INCLUDE_DIR tcl.h PATHS /usr/include/tcl8.6 /usr/include/tcl REQUIRED)
find_library(TCL_STUB_LIBRARY NAMES tclstub8.6 tclstub REQUIRED)
find_library(TK_STUB_LIBRARY NAMES tkstub8.6 tkstub REQUIRED)
find_library(TCL_LIBRARY NAMES tcl8.6 tcl REQUIRED)
find_library(TK_LIBRARY NAMES tk8.6 tk REQUIRED)
find_program(TCLSH NAMES tclsh8.6 tclsh REQUIRED)
find_program(WISH NAMES wish8.6 wish REQUIRED)
find_package(ZLIB REQUIRED)
find_package(JPEG REQUIRED)
find_package(X11 REQUIRED)

add_library(krel_deps INTERFACE)
add_library(Krel::deps ALIAS krel_deps)
target_include_directories(krel_deps INTERFACE ${TCL_INCLUDE_DIR} ${X11_INCLUDE_DIR})
# The stub libraries are static archives built without -fPIC assumptions; they
# are linked whole into the shared library the way TEA extensions do.
target_link_libraries(krel_deps INTERFACE ${TK_STUB_LIBRARY} ${TCL_STUB_LIBRARY}
                      ZLIB::ZLIB JPEG::JPEG ${X11_LIBRARIES} m)
