# The Windows package (make windows): corvane-<version>-win64.zip and
# corvane-<version>-setup.exe in the build folder. Everything the two programs
# need goes beside them, as windeployqt would put it (it does not run on
# Linux): the DLLs listed here, Qt's plugins in folders of their own, the
# README and the licences of what is shipped.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_gcc_runtime "${_libgcc}" DIRECTORY)
set(_mingw_runtime /usr/x86_64-w64-mingw32/lib)

set(CORVANE_WIN_DLLS
  ${CORVANE_WIN_SDK}/bin/Qt6Core.dll
  ${CORVANE_WIN_SDK}/bin/Qt6Gui.dll
  ${CORVANE_WIN_SDK}/bin/Qt6Widgets.dll
  ${CORVANE_WIN_SDK}/bin/Qt6Network.dll
  ${CORVANE_WIN_SDK}/bin/libcrypto-3-x64.dll
  ${CORVANE_WIN_SDK}/bin/libssl-3-x64.dll
  ${_gcc_runtime}/libstdc++-6.dll
  ${_gcc_runtime}/libgcc_s_seh-1.dll
  ${_mingw_runtime}/libwinpthread-1.dll)
# Folder beside the executables, then the plugin files in it.
set(CORVANE_WIN_PLUGINS
  "platforms:qwindows.dll,qoffscreen.dll"
  "styles:qwindowsvistastyle.dll"
  "tls:qopensslbackend.dll,qschannelbackend.dll,qcertonlybackend.dll")
set(CORVANE_WIN_LICENCES
  "Corvane.txt:${PROJECT_SOURCE_DIR}/packaging/deb/copyright"
  "Qt.txt:/usr/share/doc/libqt6core6/copyright"
  "OpenSSL.txt:/usr/share/doc/libssl3/copyright"
  "zlib.txt:/usr/share/doc/zlib1g/copyright"
  "GCC-runtime.txt:/usr/share/doc/gcc-mingw-w64-base/copyright"
  "mingw-w64-runtime.txt:/usr/share/doc/mingw-w64-common/copyright")

foreach(dll IN LISTS CORVANE_WIN_DLLS)
  if(NOT EXISTS "${dll}")
    message(FATAL_ERROR "Windows package: ${dll} is missing")
  endif()
endforeach()

install(TARGETS corvane corvane-send RUNTIME DESTINATION .)
install(FILES ${CORVANE_WIN_DLLS} DESTINATION .)
foreach(entry IN LISTS CORVANE_WIN_PLUGINS)
  string(REPLACE ":" ";" parts "${entry}")
  string(REPLACE "," ";" parts "${parts}")
  list(GET parts 0 folder)
  list(REMOVE_AT parts 0)
  foreach(plugin IN LISTS parts)
    install(FILES ${CORVANE_WIN_SDK}/plugins/${folder}/${plugin} DESTINATION ${folder})
  endforeach()
endforeach()
install(FILES README.md DESTINATION .)
foreach(entry IN LISTS CORVANE_WIN_LICENCES)
  string(REPLACE ":" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 source)
  install(FILES ${source} RENAME ${name} DESTINATION licences)
endforeach()

set(_stage ${CMAKE_BINARY_DIR}/stage/corvane-${PROJECT_VERSION}-win64)
set(CORVANE_WIN_ZIP ${CMAKE_BINARY_DIR}/corvane-${PROJECT_VERSION}-win64.zip)
set(CORVANE_WIN_SETUP ${CMAKE_BINARY_DIR}/corvane-${PROJECT_VERSION}-setup.exe)
add_custom_target(windows-package
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/stage
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${_stage} --strip
  COMMAND ${CMAKE_COMMAND} -E rm -f ${CORVANE_WIN_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/stage
          ${CMAKE_COMMAND} -E tar cf ${CORVANE_WIN_ZIP} --format=zip corvane-${PROJECT_VERSION}-win64
  COMMAND makensis -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${_stage} -DOUTFILE=${CORVANE_WIN_SETUP}
          ${PROJECT_SOURCE_DIR}/packaging/windows/corvane.nsi
  DEPENDS corvane corvane-send
  COMMENT "Windows package: ${CORVANE_WIN_ZIP} and ${CORVANE_WIN_SETUP}"
  VERBATIM)
