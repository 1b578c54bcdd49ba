# murmelo_add_layer(<target> SOURCES <glob>... [LINK <target>...])
#
# One static library per layer of the system. The sources are globbed relative to the source root.
# A layer's headers are reachable only as "<folder>/<name>.h" through a directory of links that holds
# exactly that layer's headers; the source root itself is on no include path. A library sees its own
# headers and, through PUBLIC propagation, those of the layers it links; so a lower layer that includes a
# higher layer's header fails to compile ("No such file or directory") instead of quietly depending on it.
function(murmelo_add_layer target)
    cmake_parse_arguments(PARSE_ARGV 1 LAYER "" "" "SOURCES;LINK")
    set(patterns)
    foreach(pattern ${LAYER_SOURCES})
        list(APPEND patterns ${CMAKE_SOURCE_DIR}/${pattern})
    endforeach()
    file(GLOB sources CONFIGURE_DEPENDS ${patterns})

    set(includeDir ${CMAKE_BINARY_DIR}/layers/${target})
    file(REMOVE_RECURSE ${includeDir})
    foreach(source ${sources})
        if(source MATCHES "\\.h$")
            file(RELATIVE_PATH header ${CMAKE_SOURCE_DIR} ${source})
            get_filename_component(headerDir ${includeDir}/${header} DIRECTORY)
            file(MAKE_DIRECTORY ${headerDir})
            file(CREATE_LINK ${source} ${includeDir}/${header} SYMBOLIC)
        endif()
    endforeach()

    qt_add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${includeDir})
    target_link_libraries(${target} PUBLIC ${LAYER_LINK})
endfunction()
