# The version scheme (see cmake/version.cmake), apart so that a test can run it.
#
# marrowlink_version_from_describe(RELEASE DESCRIBE VERSION_VAR COMMITS_VAR)
#   RELEASE   the release number from VERSION, e.g. 1.1.0
#   DESCRIBE  what `git describe --tags --long --always --dirty` printed, or ""
#             for a source tree without git
#   sets VERSION_VAR to the program's version and COMMITS_VAR to the number of
#   commits since the tag (0 without one).
function(marrowlink_version_from_describe release describe version_var commits_var)
    set(commits 0)
    set(suffix "")
    if(describe)
        string(REGEX MATCH "-dirty$" dirty "${describe}")
        string(REGEX REPLACE "-dirty$" "" describe "${describe}")
        if(describe MATCHES "^(.*)-([0-9]+)-(g[0-9a-f]+)$")
            set(tag "${CMAKE_MATCH_1}")
            set(commits "${CMAKE_MATCH_2}")
            set(commit "${CMAKE_MATCH_3}")
            if(NOT (tag STREQUAL "v${release}" AND commits EQUAL 0))
                set(suffix "${commits}.${commit}")
            endif()
        elseif(describe MATCHES "^[0-9a-f]+$")
            set(suffix "g${describe}")
        else()
            message(FATAL_ERROR "unexpected output of git describe: '${describe}'")
        endif()
        if(dirty)
            string(APPEND suffix ".dirty")
            string(REGEX REPLACE "^[.]" "" suffix "${suffix}")
        endif()
    endif()
    if(suffix)
        set(${version_var} "${release}+${suffix}" PARENT_SCOPE)
    else()
        set(${version_var} "${release}" PARENT_SCOPE)
    endif()
    set(${commits_var} ${commits} PARENT_SCOPE)
endfunction()
