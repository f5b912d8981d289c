# The program's version, fixed when the build is configured.
#
# VERSION at the top of the tree holds the release number (the one the CHANGELOG
# starts with). A build from the commit tagged v<release> is exactly that number;
# any other build from a git tree adds after a "+" what `git describe --tags --long
# --always --dirty` says: commits since the tag and the commit (1.1.0+3.g1a2b3c4),
# the commit alone while no tag exists (1.1.0+g1a2b3c4), and ".dirty" for
# uncommitted changes. A source tree without git (an unpacked tarball) is the bare
# number. Every form is a valid Debian version that sorts after the bare release.
include("${CMAKE_CURRENT_LIST_DIR}/version_scheme.cmake")

file(STRINGS "${PROJECT_SOURCE_DIR}/VERSION" MARROWLINK_RELEASE LIMIT_COUNT 1)
if(NOT MARROWLINK_RELEASE MATCHES "^([0-9]+)[.]([0-9]+)[.]([0-9]+)$")
    message(FATAL_ERROR "VERSION must hold a release number like 1.2.3, not '${MARROWLINK_RELEASE}'")
endif()
set(MARROWLINK_VERSION_MAJOR ${CMAKE_MATCH_1})
set(MARROWLINK_VERSION_MINOR ${CMAKE_MATCH_2})
set(MARROWLINK_VERSION_PATCH ${CMAKE_MATCH_3})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/VERSION")

set(describe "")
find_package(Git QUIET)
# Only this tree's own history counts, not that of a repository it was unpacked into.
if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
    execute_process(COMMAND "${GIT_EXECUTABLE}" describe --tags --long --always --dirty
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE describe_result)
    if(NOT describe_result EQUAL 0)
        message(FATAL_ERROR "git describe failed in ${PROJECT_SOURCE_DIR}")
    endif()
    # A commit or a checkout writes the HEAD log: configure again, so the version follows.
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --absolute-git-dir
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_dir_result)
    if(git_dir_result EQUAL 0 AND EXISTS "${git_dir}/logs/HEAD")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_dir}/logs/HEAD")
    endif()
endif()
# The time dated files (manual pages, the Debian changelog) carry: the commit's, else VERSION's.
file(TIMESTAMP "${PROJECT_SOURCE_DIR}/VERSION" MARROWLINK_SOURCE_DATE_EPOCH "%s" UTC)
if(describe)
    execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE MARROWLINK_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
marrowlink_version_from_describe("${MARROWLINK_RELEASE}" "${describe}" MARROWLINK_VERSION MARROWLINK_VERSION_COMMITS)
message(STATUS "marrowlink version ${MARROWLINK_VERSION}")

configure_file("${CMAKE_CURRENT_LIST_DIR}/version.h.in" "${CMAKE_BINARY_DIR}/generated/marrowlink_version.h" @ONLY)
add_library(marrowlink_version INTERFACE)
target_include_directories(marrowlink_version INTERFACE "${CMAKE_BINARY_DIR}/generated")
