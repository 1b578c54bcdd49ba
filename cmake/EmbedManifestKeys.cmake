# Script mode: cmake "-DKEYS=<file>;<file>..." -DOUTPUT=<source file> -P EmbedManifestKeys.cmake
# Writes the built-in manifest keys (net/manifestkeyring.h) from DER public keys or key blocks, in the
# order given. The updater checks each key's size when it loads it.
include(${CMAKE_CURRENT_LIST_DIR}/PublicKeyCheck.cmake)

if(NOT KEYS)
    message(FATAL_ERROR "No manifest key given (set MURMELO_MANIFEST_KEYS)")
endif()
set(bytes "")
set(lengths "")
set(count 0)
foreach(key ${KEYS})
    murmelo_read_public_key("${key}" 2048 hex size)
    # A key block's zero padding is not part of the key.
    string(REGEX REPLACE "(00)+$" "" trimmed "${hex}")
    string(LENGTH "${trimmed}" hex_length)
    math(EXPR odd "${hex_length} % 2")
    if(odd)
        string(APPEND trimmed "0")
        math(EXPR hex_length "${hex_length} + 1")
    endif()
    math(EXPR length "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," line "${trimmed}")
    string(APPEND bytes "    // ${key}\n    ${line}\n")
    string(APPEND lengths "${length}, ")
    math(EXPR count "${count} + 1")
endforeach()

file(WRITE "${OUTPUT}.tmp"
    "// Generated at build time from MURMELO_MANIFEST_KEYS; do not edit.\n"
    "#include \"net/manifestkeyring.h\"\n\n"
    "const unsigned char ManifestKeyring::builtInData[] = {\n${bytes}};\n"
    "const unsigned long ManifestKeyring::builtInLengths[] = {${lengths}};\n"
    "const int ManifestKeyring::builtInCount = ${count};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
