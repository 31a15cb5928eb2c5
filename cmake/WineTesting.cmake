# Running the Windows programs of a cross-build under wine: a wrapper that uses a
# wine prefix inside the build folder (created on first use, never in the home
# folder), finds the mingw runtime and Qt DLLs, and hands the programs pairs of
# COM ports joined back to back (see cmake/wine/com_pairs.py).
find_program(QUELLMARK_WINE_PROGRAM NAMES wine wine64 REQUIRED)
find_program(QUELLMARK_PYTHON NAMES python3 REQUIRED)

# Windows form of a Linux path as wine's drive Z: shows it.
function(quellmark_wine_path out path)
    string(REPLACE "/" "\\" windows "${path}")
    set(${out} "Z:${windows}" PARENT_SCOPE)
endfunction()

# The folders of the compiler's runtime DLLs.
set(QUELLMARK_MINGW_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}")
        # winpthread sits in the sysroot, not beside the compiler's own libraries.
        set(found /usr/${QUELLMARK_MINGW_PREFIX}/lib/${dll})
    endif()
    if(EXISTS "${found}")
        list(APPEND QUELLMARK_MINGW_RUNTIME_DLLS ${found})
    endif()
endforeach()

set(wine_path_dirs)
if(QUELLMARK_QT_MINGW_PREFIX)
    list(APPEND wine_path_dirs ${QUELLMARK_QT_MINGW_PREFIX}/bin)
endif()
foreach(dll ${QUELLMARK_MINGW_RUNTIME_DLLS})
    get_filename_component(dir ${dll} DIRECTORY)
    list(APPEND wine_path_dirs ${dir})
endforeach()
list(REMOVE_DUPLICATES wine_path_dirs)
set(QUELLMARK_WINEPATH "")
foreach(dir ${wine_path_dirs})
    quellmark_wine_path(windows ${dir})
    if(QUELLMARK_WINEPATH)
        string(APPEND QUELLMARK_WINEPATH ";")
    endif()
    string(APPEND QUELLMARK_WINEPATH "${windows}")
endforeach()

set(QUELLMARK_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
set(QUELLMARK_WINE_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/wine)
set(QUELLMARK_FONT_DIR /usr/share/fonts/truetype/wqy)
quellmark_wine_path(QUELLMARK_WINE_FONT_DIR ${QUELLMARK_FONT_DIR})
quellmark_wine_path(QUELLMARK_WINE_CONTROL_DIR ${QUELLMARK_WINE_DIR}/control)
configure_file(${QUELLMARK_WINE_SCRIPTS}/run.in ${QUELLMARK_WINE_DIR}/run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELLMARK_WINE_DIR}/run)

# Tests on the COM-port pairs: the relay starts with the first of them and stops
# after the last; only one such test runs at a time.
set(QUELLMARK_COM_TEST_PROPERTIES FIXTURES_REQUIRED wine_com RESOURCE_LOCK wine_com)

# The prefix is made while configuring, so that listing the tests of an
# executable never waits for it.
execute_process(COMMAND ${QUELLMARK_WINE_SCRIPTS}/setup.sh ${QUELLMARK_WINE_DIR} ${QUELLMARK_PYTHON} prefix
                RESULT_VARIABLE prefix_result)
if(NOT prefix_result EQUAL 0)
    message(FATAL_ERROR "Could not create a wine prefix in ${QUELLMARK_WINE_DIR}/prefix")
endif()
