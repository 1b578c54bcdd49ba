# Script mode: cmake -DKEY=<key file> -DOUTPUT=<source file> -P EmbedPublicKey.cmake
# Writes the definition of PUBLIC_KEY (net/crypt.h) from a 2048-byte key block as written by save_key or the
# key tool, or from a bare DER public key, which is padded with zero bytes to 2048.
set(block_size 2048)

if(NOT EXISTS "${KEY}" OR IS_DIRECTORY "${KEY}")
    message(FATAL_ERROR "Public key file '${KEY}' does not exist (set MURMELO_PUBLIC_KEY)")
endif()
file(SIZE "${KEY}" size)
if(size EQUAL 0 OR size GREATER block_size)
    message(FATAL_ERROR "Public key file '${KEY}' has ${size} bytes; expected a DER key of at most ${block_size}")
endif()
file(READ "${KEY}" hex HEX)
string(TOLOWER "${hex}" hex)

# Every DER key begins with a SEQUENCE. A private key (PKCS #1 or PKCS #8) begins that sequence with the
# version 0 (02 01 00), a public key with the modulus or an algorithm identifier; a private key must never be
# compiled into a program that is handed out.
if(NOT hex MATCHES "^30")
    message(FATAL_ERROR "'${KEY}' is not a DER key (it does not begin with a SEQUENCE)")
endif()
string(SUBSTRING "${hex}" 2 2 length_byte)
if(length_byte STREQUAL "81")
    set(content_start 6)
elseif(length_byte STREQUAL "82")
    set(content_start 8)
else()
    set(content_start 4)
endif()
string(LENGTH "${hex}" hex_length)
math(EXPR first_element_end "${content_start} + 6")
if(hex_length GREATER_EQUAL first_element_end)
    string(SUBSTRING "${hex}" ${content_start} 6 first_element)
    if(first_element STREQUAL "020100")
        message(FATAL_ERROR "'${KEY}' is a private key; MURMELO_PUBLIC_KEY must name the public key")
    endif()
endif()

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
