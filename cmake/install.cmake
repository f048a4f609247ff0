# `cmake --install` (and `make install PREFIX=... DESTDIR=...`): the tool, its
# plug-ins where the installed tool finds them, the libraries with their
# headers and a pkg-config file, and the man page. Every path is relative to
# the prefix, so the prefix may be chosen at install time.
include(GNUInstallDirs)

set(KV_INSTALL_PRIVATE ${CMAKE_INSTALL_LIBDIR}/korvane)          # the host library
set(KV_INSTALL_PLUGINS ${KV_INSTALL_PRIVATE}/plugins)             # see app/CMakeLists.txt
set(KV_INSTALL_HEADERS ${CMAKE_INSTALL_INCLUDEDIR}/korvane)

# The tool finds the host library from its own folder; libraries outside the
# system folders (the single-threaded OpenBLAS) stay on the run path.
file(RELATIVE_PATH kv_bin_to_private /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${KV_INSTALL_PRIVATE})
set_target_properties(korvane PROPERTIES
  INSTALL_RPATH "$ORIGIN/${kv_bin_to_private}" INSTALL_RPATH_USE_LINK_PATH ON)
install(TARGETS korvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS maxhost LIBRARY DESTINATION ${KV_INSTALL_PRIVATE})
foreach(plugin korvane_tilde kv_lsProd)
  if(TARGET ${plugin})
    set_target_properties(${plugin} PROPERTIES INSTALL_RPATH_USE_LINK_PATH ON)
    install(TARGETS ${plugin} LIBRARY DESTINATION ${KV_INSTALL_PLUGINS})
  endif()
endforeach()

# Static libraries, in link order, and their public headers; the headers'
# own includes (<Accelerate/Accelerate.h>, ...) resolve under include/korvane.
set(kv_libs qm_audio qm_matrixOps kv_audiotoolbox kv_accelerate)
if(TARGET kv_engine)
  list(PREPEND kv_libs kv_engine)
  install(FILES kv_engine/kv_engine.h DESTINATION ${KV_INSTALL_HEADERS})
endif()
install(TARGETS ${kv_libs} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES qm_audio/qm_audio.h qm_matrixOps/qm_matrixOps.h DESTINATION ${KV_INSTALL_HEADERS})
install(DIRECTORY host/accelerate/Accelerate host/audiotoolbox/AudioToolbox
                  host/audiotoolbox/CoreFoundation
        DESTINATION ${KV_INSTALL_HEADERS} FILES_MATCHING PATTERN "*.h")

# korvane.pc: the prefix is found from the file's own place.
file(RELATIVE_PATH KV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KV_PC_TO_PREFIX "${KV_PC_TO_PREFIX}")
list(TRANSFORM kv_libs PREPEND "-l" OUTPUT_VARIABLE kv_lib_flags)
string(JOIN " " KV_PC_LIBS ${kv_lib_flags})
if(KV_OPENBLAS_SERIAL)
  get_filename_component(kv_blas_dir ${KV_OPENBLAS_SERIAL} DIRECTORY)
  string(APPEND KV_PC_LIBS " -L${kv_blas_dir} -Wl,-rpath,${kv_blas_dir} -lopenblas")
else()
  string(APPEND KV_PC_LIBS " -lopenblas")
endif()
find_package(OpenMP COMPONENTS C QUIET)
if(OpenMP_C_FOUND)
  string(APPEND KV_PC_LIBS " ${OpenMP_C_FLAGS}")
endif()
string(APPEND KV_PC_LIBS " -lpthread -lm")
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvane.pc.in ${CMAKE_BINARY_DIR}/korvane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/korvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The man page's title line takes the version from project().
file(READ ${PROJECT_SOURCE_DIR}/docs/korvane.1 kv_man)
string(REPLACE "\"korvane\" \"User Commands\"" "\"korvane ${PROJECT_VERSION}\" \"User Commands\""
       kv_man "${kv_man}")
file(WRITE ${CMAKE_BINARY_DIR}/korvane.1 "${kv_man}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/korvane.1)
install(FILES ${CMAKE_BINARY_DIR}/korvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
