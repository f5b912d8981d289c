# The version scheme against what git describe prints in each situation:
#   cmake -P tests/package/version_scheme_test.cmake
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/version_scheme.cmake")

# describe | version | commits since the tag
set(cases
    "|1.1.0|0"
    "v1.1.0-0-g1a2b3c4|1.1.0|0"
    "v1.1.0-0-g1a2b3c4-dirty|1.1.0+dirty|0"
    "v1.1.0-3-g1a2b3c4|1.1.0+3.g1a2b3c4|3"
    "v1.1.0-3-g1a2b3c4-dirty|1.1.0+3.g1a2b3c4.dirty|3"
    "v1.0.0-0-g1a2b3c4|1.1.0+0.g1a2b3c4|0"
    "release-candidate-2-12-g1a2b3c4|1.1.0+12.g1a2b3c4|12"
    "1a2b3c4|1.1.0+g1a2b3c4|0"
    "1a2b3c4-dirty|1.1.0+g1a2b3c4.dirty|0")
set(failures 0)
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 describe)
    list(GET fields 1 expected_version)
    list(GET fields 2 expected_commits)
    marrowlink_version_from_describe("1.1.0" "${describe}" version commits)
    if(NOT version STREQUAL expected_version OR NOT commits EQUAL expected_commits)
        message(SEND_ERROR "describe '${describe}': got ${version} (${commits} commits), want ${expected_version} (${expected_commits})")
        math(EXPR failures "${failures} + 1")
    endif()
    # Debian's rule for an upstream version without a revision.
    if(NOT version MATCHES "^[0-9][A-Za-z0-9.+~]*$")
        message(SEND_ERROR "describe '${describe}': ${version} is not a valid Debian version")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()
list(LENGTH cases count)
message(STATUS "version scheme: ${count} cases, ${failures} failed")
