# libFuzzer targets (tests/fuzz), for a build directory of their own configured with clang:
#   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DMURMELO_FUZZ=ON
# Everything of the system is then compiled with coverage feedback and the address and undefined-behaviour
# sanitizers, so that the fuzzers see into the parsers they drive; the toolkit stays as Debian ships it.
# tests/CMakeLists.txt adds the targets.
option(MURMELO_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(MURMELO_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "MURMELO_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
