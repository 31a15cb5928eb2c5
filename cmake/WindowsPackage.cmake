# The portable Windows folder: the program, the Qt DLLs it needs, the platform
# and style plugins and the compiler's runtime in one folder, ready to copy to a
# Windows PC; Config.ini is written beside Quellmark.exe on first start.
#   cmake --build --preset mingw --target portable   (folder and ZIP in build/mingw/portable)
#   cmake --install <build> --prefix <folder>         (the folder only)
if(NOT TARGET Quellmark)
    return()
endif()

install(TARGETS Quellmark RUNTIME DESTINATION .)
if(TARGET quellmark-cli)
    install(TARGETS quellmark-cli RUNTIME DESTINATION .)
endif()

if(QUELLMARK_QT_MINGW_PREFIX)
    # A cross-build: the Qt for mingw knows its files, and wine has no windeployqt.
    set(qt ${QUELLMARK_QT_MINGW_PREFIX})
    install(FILES ${qt}/bin/Qt6Core.dll ${qt}/bin/Qt6Gui.dll ${qt}/bin/Qt6Widgets.dll DESTINATION .)
    install(FILES ${qt}/plugins/platforms/qwindows.dll DESTINATION platforms)
    install(FILES ${qt}/plugins/styles/qwindowsvistastyle.dll DESTINATION styles)
    set(runtime)
    foreach(dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
        if(EXISTS ${qt}/bin/${dll})
            list(APPEND runtime ${qt}/bin/${dll})
        endif()
    endforeach()
    if(NOT runtime)
        set(runtime ${QUELLMARK_MINGW_RUNTIME_DLLS})
    endif()
    install(FILES ${runtime} DESTINATION .)
    # Qt's own dialog and button texts in the window's language: the translation files
    # are the same on every system, so the build host's serve.
    find_file(QUELLMARK_QTBASE_ZH qtbase_zh_CN.qm PATHS /usr/share/qt6/translations NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH)
    if(QUELLMARK_QTBASE_ZH)
        install(FILES ${QUELLMARK_QTBASE_ZH} DESTINATION translations)
    endif()
else()
    # A native build: windeployqt from the Qt that was found gathers DLLs and plugins.
    get_target_property(qmake Qt6::qmake IMPORTED_LOCATION)
    get_filename_component(qt_bin "${qmake}" DIRECTORY)
    find_program(QUELLMARK_WINDEPLOYQT windeployqt HINTS "${qt_bin}")
    if(QUELLMARK_WINDEPLOYQT)
        install(CODE "execute_process(COMMAND \"${QUELLMARK_WINDEPLOYQT}\" --no-translations
                      --no-opengl-sw --no-system-d3d-compiler \"\${CMAKE_INSTALL_PREFIX}/Quellmark.exe\")")
        get_filename_component(qt_root "${qt_bin}" DIRECTORY)
        install(FILES ${qt_root}/translations/qtbase_zh_CN.qm DESTINATION translations OPTIONAL)
    endif()
endif()

set(portable ${CMAKE_BINARY_DIR}/portable)
add_custom_target(portable
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${portable}/Quellmark
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${portable}/Quellmark
            --config $<CONFIG>
    COMMAND ${CMAKE_COMMAND} -E chdir ${portable}
            ${CMAKE_COMMAND} -E tar cf Quellmark-win64.zip --format=zip Quellmark
    DEPENDS Quellmark
    COMMENT "Portable folder and ZIP in ${portable}")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME Quellmark-${PROJECT_VERSION}-win64)
include(CPack)
