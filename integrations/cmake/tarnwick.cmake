# tarnwick_footprint(TARGET <executable> [BUDGETS <tarnwick.toml>] [BASELINE <report.json>]
#                    [FAIL_ON_BUDGET] [FORMAT <format>] [OUTPUT <file>] [ALSO <format=path>...]
#                    [ARGS <more tarnwick options>...])
#
# After <executable> is linked, tarnwick analyses its map (which this asks the linker to write,
# beside the executable as NAME.map) and its ELF file; a failed policy (an overflow, a reserved
# range, with FAIL_ON_BUDGET a region above its budget) fails the build, and so does bad input.
# The report goes to the build's output (FORMAT text), or to OUTPUT. BUDGETS names the
# configuration (default: the one tarnwick finds from the source folder up); BASELINE a stored
# report to compare with. TARNWICK_EXECUTABLE names the command (default: found on the PATH).
#
#   include(path/to/tarnwick.cmake)        # or: find_package(tarnwick CONFIG PATHS path/to)
#   tarnwick_footprint(TARGET firmware BUDGETS ${CMAKE_CURRENT_SOURCE_DIR}/tarnwick.toml FAIL_ON_BUDGET)
include_guard(GLOBAL)

function(tarnwick_footprint)
    cmake_parse_arguments(PARSE_ARGV 0 TW "FAIL_ON_BUDGET" "TARGET;BUDGETS;BASELINE;FORMAT;OUTPUT" "ALSO;ARGS")
    if(NOT TW_TARGET)
        message(FATAL_ERROR "tarnwick_footprint: TARGET names the executable to check")
    endif()
    if(NOT TARGET "${TW_TARGET}")
        message(FATAL_ERROR "tarnwick_footprint: ${TW_TARGET} is not a target")
    endif()
    if(TW_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "tarnwick_footprint: unknown arguments ${TW_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT TARNWICK_EXECUTABLE)
        find_program(TARNWICK_EXECUTABLE tarnwick)
    endif()
    if(NOT TARNWICK_EXECUTABLE)
        message(FATAL_ERROR "tarnwick_footprint: tarnwick is not installed (set TARNWICK_EXECUTABLE or put it on the PATH)")
    endif()

    set(elf "$<TARGET_FILE:${TW_TARGET}>")
    set(map "$<TARGET_FILE_DIR:${TW_TARGET}>/$<TARGET_FILE_BASE_NAME:${TW_TARGET}>.map")
    target_link_options("${TW_TARGET}" PRIVATE "LINKER:-Map=${map}")
    set(command "${TARNWICK_EXECUTABLE}" analyze "${map}" --elf "${elf}")
    if(TW_BUDGETS)
        get_filename_component(budgets "${TW_BUDGETS}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND command --config "${budgets}")
        set_property(TARGET "${TW_TARGET}" APPEND PROPERTY LINK_DEPENDS "${budgets}")
    endif()
    if(TW_BASELINE)
        get_filename_component(baseline "${TW_BASELINE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND command --baseline "${baseline}")
    endif()
    if(TW_FAIL_ON_BUDGET)
        list(APPEND command --fail-on-budget)
    endif()
    if(TW_FORMAT)
        list(APPEND command --format "${TW_FORMAT}")
    endif()
    if(TW_OUTPUT)
        list(APPEND command --output "${TW_OUTPUT}")
    endif()
    foreach(also IN LISTS TW_ALSO)
        list(APPEND command --also "${also}")
    endforeach()
    list(APPEND command ${TW_ARGS})
    add_custom_command(TARGET "${TW_TARGET}" POST_BUILD
        COMMAND ${command}
        WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
        COMMENT "tarnwick: memory footprint of ${TW_TARGET}"
        VERBATIM)
endfunction()
