# cmake -DBUILD_DIR=<build tree> -DSTAGE_DIR=<scratch dir> -P check_install.cmake
#
# The unit names the executable by an absolute path and the maintainer scripts name the directory
# and user again; a change to one of them that the others miss only shows on a real site, so the
# staged install is checked as a whole.

set(failures "")
macro(fail message)
    list(APPEND failures "${message}")
endmacro()

file(REMOVE_RECURSE "${STAGE_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE_DIR}
                        ${CMAKE_COMMAND} --install "${BUILD_DIR}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

file(GLOB_RECURSE units "${STAGE_DIR}/*.service")
list(FILTER units INCLUDE REGEX "/systemd/system/[^/]+$")
list(LENGTH units unitCount)
if(NOT unitCount EQUAL 1)
    message(FATAL_ERROR "expected one systemd unit in the staged install, found: ${units}")
endif()

# Keys of the unit, last assignment wins as in systemd.
file(STRINGS "${units}" lines)
foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z]+)=(.*)$")
        set("unit_${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}")
    endif()
endforeach()

if(NOT (unit_Type STREQUAL "notify"))
    fail("Type is '${unit_Type}', not notify")
endif()
if(NOT (unit_Restart STREQUAL "on-failure"))
    fail("Restart is '${unit_Restart}'")
endif()
if(NOT DEFINED unit_WatchdogSec)
    fail("no WatchdogSec")
endif()
if(NOT (DEFINED unit_User AND NOT unit_User STREQUAL "root"))
    fail("runs as '${unit_User}'")
endif()
if(NOT (unit_WantedBy STREQUAL "multi-user.target"))
    fail("WantedBy is '${unit_WantedBy}'")
endif()

# The service writes beside its executable: the unit must let it write exactly there.
set(executable "${unit_ExecStart}")
get_filename_component(appDir "${executable}" DIRECTORY)
if(NOT IS_ABSOLUTE "${executable}")
    fail("ExecStart '${executable}' is not absolute")
endif()
if(NOT (unit_WorkingDirectory STREQUAL "${appDir}"))
    fail("WorkingDirectory '${unit_WorkingDirectory}' is not the executable's directory '${appDir}'")
endif()
if(NOT (unit_ReadWritePaths STREQUAL "${appDir}"))
    fail("ReadWritePaths '${unit_ReadWritePaths}' is not the executable's directory '${appDir}'")
endif()
if(NOT (unit_ProtectSystem STREQUAL "strict"))
    fail("ProtectSystem is '${unit_ProtectSystem}'")
endif()

set(staged "${STAGE_DIR}${executable}")
if(NOT EXISTS "${staged}")
    fail("ExecStart '${executable}' was not installed")
else()
    # --version answers on the console without touching the directory's files.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 "${staged}"
                            --version
                    RESULT_VARIABLE result OUTPUT_VARIABLE version ERROR_VARIABLE errors
                    TIMEOUT 30)
    string(STRIP "${version}" version)
    if(NOT (result EQUAL 0 AND version STREQUAL "VELTRA 1.0.0"))
        fail("installed executable answered '${version}' (${result}) ${errors}")
    endif()
endif()

file(GLOB_RECURSE guides "${STAGE_DIR}/OPERATING.md")
list(FILTER guides INCLUDE REGEX "/share/doc/[^/]+/OPERATING.md$")
if(NOT guides)
    fail("operator guide not installed")
endif()

# The package's scripts create the unit's user and hand it the unit's directory.
foreach(script postinst prerm postrm)
    set(path "${BUILD_DIR}/packaging/debian/${script}")
    if(NOT EXISTS "${path}")
        fail("maintainer script ${script} missing")
        continue()
    endif()
    execute_process(COMMAND sh -n "${path}" RESULT_VARIABLE result ERROR_VARIABLE errors)
    if(NOT result EQUAL 0)
        fail("${script} is not valid sh: ${errors}")
    endif()
    file(READ "${path}" text)
    get_filename_component(unitName "${units}" NAME)
    string(FIND "${text}" "unit=${unitName}\n" at)
    if(at EQUAL -1)
        fail("${script} does not name the unit ${unitName}")
    endif()
    if(NOT script STREQUAL "prerm")
        string(FIND "${text}" "user=${unit_User}\n" at)
        if(at EQUAL -1)
            fail("${script} does not name the user ${unit_User}")
        endif()
        string(FIND "${text}" "appdir=${appDir}\n" at)
        if(at EQUAL -1)
            fail("${script} does not name the directory ${appDir}")
        endif()
    endif()
endforeach()

file(REMOVE_RECURSE "${STAGE_DIR}")
if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "staged install does not fit together:\n  ${text}")
endif()
message(STATUS "staged install of ${executable} with ${units} fits together")
