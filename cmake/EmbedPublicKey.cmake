# Script mode: cmake -DKEY=<key file> -DOUTPUT=<source file> -P EmbedPublicKey.cmake
# Writes the definition of PUBLIC_KEY (net/crypt.h) from a 2048-byte key block as written by save_key or the
# key tool, or from a bare DER public key, which is padded with zero bytes to 2048.
set(block_size 2048)

include(${CMAKE_CURRENT_LIST_DIR}/PublicKeyCheck.cmake)
murmelo_read_public_key("${KEY}" ${block_size} hex size)

math(EXPR padding "${block_size} - ${size}")
string(REPEAT "00" ${padding} zeros)
set(hex "${hex}${zeros}")
set(bytes "")
math(EXPR last_line "${block_size} * 2 - 32")
foreach(offset RANGE 0 ${last_line} 32)
    string(SUBSTRING "${hex}" ${offset} 32 line)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," line "${line}")
    string(APPEND bytes "    ${line}\n")
endforeach()

file(WRITE "${OUTPUT}.tmp"
    "// Generated at build time from ${KEY}; do not edit.\n"
    "#include \"net/crypt.h\"\n\n"
    "const unsigned char PUBLIC_KEY[KEY_BLOCK_SIZE] = {\n${bytes}};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
