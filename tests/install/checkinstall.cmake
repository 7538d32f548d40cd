# Installs the build into a fresh prefix, one component at a time, and checks what a desktop
# and systemd will find there. Run by CTest with BUILD_DIR and WORK_DIR set.
cmake_minimum_required(VERSION 3.16)

set(appId org.ferrow.Desktop)
set(failures "")

macro(fail message)
    string(APPEND failures "\n  ${message}")
endmacro()

function(install_component component prefix)
    file(REMOVE_RECURSE ${prefix})
    execute_process(
        COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component ${component}
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "installing ${component} failed: ${error}")
    endif()
endfunction()

function(list_tree prefix out)
    file(GLOB_RECURSE files RELATIVE ${prefix} ${prefix}/*)
    list(SORT files)
    set(${out} ${files} PARENT_SCOPE)
endfunction()

# A PNG's width and height sit big-endian in its header, bytes 16 to 23.
function(png_size file out)
    file(READ ${file} header OFFSET 16 LIMIT 8 HEX)
    string(SUBSTRING ${header} 0 8 widthHex)
    string(SUBSTRING ${header} 8 8 heightHex)
    math(EXPR width "0x${widthHex}")
    math(EXPR height "0x${heightHex}")
    set(${out} "${width}x${height}" PARENT_SCOPE)
endfunction()

macro(run_ok name)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        fail("${name} failed: ${output}")
    endif()
endmacro()

# The client package: the program, its launcher, its description and its icons; nothing of
# the server.
set(client ${WORK_DIR}/client)
install_component(client ${client})
list_tree(${client} clientFiles)
set(expectedClient
    bin/ferrow-desktop
    share/applications/${appId}.desktop
    share/icons/hicolor/128x128/apps/${appId}.png
    share/icons/hicolor/16x16/apps/${appId}.png
    share/icons/hicolor/22x22/apps/${appId}.png
    share/icons/hicolor/24x24/apps/${appId}.png
    share/icons/hicolor/256x256/apps/${appId}.png
    share/icons/hicolor/32x32/apps/${appId}.png
    share/icons/hicolor/48x48/apps/${appId}.png
    share/icons/hicolor/64x64/apps/${appId}.png
    share/icons/hicolor/scalable/apps/${appId}.svg
    share/metainfo/${appId}.metainfo.xml)
list(SORT expectedClient)
if(NOT clientFiles STREQUAL expectedClient)
    fail("client install tree is [${clientFiles}], expected [${expectedClient}]")
endif()

foreach(size 16 22 24 32 48 64 128 256)
    set(png ${client}/share/icons/hicolor/${size}x${size}/apps/${appId}.png)
    if(EXISTS ${png})
        png_size(${png} actual)
        if(NOT actual STREQUAL "${size}x${size}")
            fail("icon in ${size}x${size} is ${actual}")
        endif()
    endif()
endforeach()

set(desktopFile ${client}/share/applications/${appId}.desktop)
if(EXISTS ${desktopFile})
    file(STRINGS ${desktopFile} execLine REGEX "^Exec=")
    file(STRINGS ${desktopFile} iconLine REGEX "^Icon=")
    if(NOT execLine STREQUAL "Exec=ferrow-desktop")
        fail("launcher runs '${execLine}'")
    endif()
    if(NOT iconLine STREQUAL "Icon=${appId}")
        fail("launcher shows '${iconLine}'")
    endif()
    run_ok(desktop-file-validate desktop-file-validate ${desktopFile})
endif()

set(metainfo ${client}/share/metainfo/${appId}.metainfo.xml)
if(EXISTS ${metainfo})
    file(READ ${metainfo} metainfoText)
    string(FIND "${metainfoText}" "<launchable type=\"desktop-id\">${appId}.desktop<" at)
    if(at EQUAL -1)
        fail("metainfo does not launch ${appId}.desktop")
    endif()
    if(metainfoText MATCHES "@[A-Z_]+@")
        fail("metainfo keeps an unfilled placeholder")
    endif()
    run_ok(appstreamcli appstreamcli validate --no-net ${metainfo})
endif()

# The server package: the program and its systemd unit, pointing at the installed program.
set(server ${WORK_DIR}/server)
install_component(server ${server})
list_tree(${server} serverFiles)
set(expectedServer bin/ferrow-server lib/systemd/system/ferrow-server.service)
if(NOT serverFiles STREQUAL expectedServer)
    fail("server install tree is [${serverFiles}], expected [${expectedServer}]")
endif()

set(unit ${server}/lib/systemd/system/ferrow-server.service)
if(EXISTS ${unit})
    file(STRINGS ${unit} execStart REGEX "^ExecStart=")
    string(FIND "${execStart}" "ExecStart=${server}/bin/ferrow-server " at)
    if(NOT at EQUAL 0)
        fail("unit starts '${execStart}'")
    endif()
    file(READ ${unit} unitText)
    foreach(line "DynamicUser=yes" "StateDirectory=ferrow-server" "ProtectSystem=strict"
            "NoNewPrivileges=yes" "--data-dir \${STATE_DIRECTORY}")
        string(FIND "${unitText}" "${line}" at)
        if(at EQUAL -1)
            fail("unit lacks ${line}")
        endif()
    endforeach()
    find_program(systemdAnalyze systemd-analyze)
    if(systemdAnalyze)
        run_ok(systemd-analyze ${systemdAnalyze} verify ${unit})
    endif()
endif()
if(EXISTS ${server}/bin/ferrow-server)
    run_ok("installed ferrow-server --help" ${server}/bin/ferrow-server --help)
endif()

if(failures)
    message(FATAL_ERROR "install tree is wrong:${failures}")
endif()
