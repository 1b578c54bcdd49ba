# The keys that may sign release manifests are compiled in; rotation statements signed with one of them add
# others at run time (see docs/publishing.md). A vendor builds with their own keys.
set(MURMELO_MANIFEST_KEYS ${CMAKE_SOURCE_DIR}/keys/demo/manifest-public.key CACHE STRING
    "Public keys (;-separated files, at least 3072 bits each) trusted to sign release manifests")
set(MURMELO_MANIFEST_KEYS_SOURCE ${CMAKE_BINARY_DIR}/generated/manifestkeys.cpp)
add_custom_command(OUTPUT ${MURMELO_MANIFEST_KEYS_SOURCE}
    COMMAND ${CMAKE_COMMAND} "-DKEYS=${MURMELO_MANIFEST_KEYS}" -DOUTPUT=${MURMELO_MANIFEST_KEYS_SOURCE}
            -P ${CMAKE_SOURCE_DIR}/cmake/EmbedManifestKeys.cmake
    DEPENDS ${MURMELO_MANIFEST_KEYS} ${CMAKE_SOURCE_DIR}/cmake/EmbedManifestKeys.cmake
            ${CMAKE_SOURCE_DIR}/cmake/PublicKeyCheck.cmake
    COMMENT "Embedding the manifest keys ${MURMELO_MANIFEST_KEYS}" VERBATIM)
target_sources(murmelo_net PRIVATE ${MURMELO_MANIFEST_KEYS_SOURCE})
