# Windows looks for a DLL that is not one of its KnownDLLs beside the executable first,
# before the program can restrict the search (a setup started from a Downloads folder,
# or the uninstaller copy in the temporary folder, would load whatever lies there). So
# the launcher imports these DLLs delay-loaded: each is loaded at its first call, from
# System32 only (app/system_dlls_win.cpp). Their delay-import libraries are made here
# from the toolchain's import libraries and found first by every `-l<name>` of the build.
set(_delay_folder ${CMAKE_BINARY_DIR}/delay-load)
file(MAKE_DIRECTORY ${_delay_folder})
find_program(LANTERNIX_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
find_program(LANTERNIX_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
foreach(_dll winhttp bcrypt rstrtmgr)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${_dll}.a
                  OUTPUT_VARIABLE _import OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  get_filename_component(_import "${_import}" REALPATH)
  set(_delay_library ${_delay_folder}/lib${_dll}.a)
  if(NOT EXISTS ${_delay_library} OR ${_import} IS_NEWER_THAN ${_delay_library})
    execute_process(COMMAND ${LANTERNIX_NM} -g --defined-only ${_import}
                    OUTPUT_VARIABLE _symbols ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@]+" _imports "${_symbols}")
    list(TRANSFORM _imports REPLACE " I __imp_" "")
    list(REMOVE_DUPLICATES _imports)
    list(JOIN _imports "\n" _exports)
    file(WRITE ${_delay_folder}/${_dll}.def "LIBRARY ${_dll}.dll\nEXPORTS\n${_exports}\n")
    execute_process(COMMAND ${LANTERNIX_DLLTOOL} --input-def ${_delay_folder}/${_dll}.def
                            --output-delaylib ${_delay_library} --dllname ${_dll}.dll
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
string(APPEND CMAKE_EXE_LINKER_FLAGS " -L${_delay_folder}")
string(APPEND CMAKE_SHARED_LINKER_FLAGS " -L${_delay_folder}")
