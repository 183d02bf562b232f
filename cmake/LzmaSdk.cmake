# The LZMA SDK's C decoders, built from Debian's 7zip source package (see scripts/setup).
# Only the reading side: 7z archives with LZMA, LZMA2, PPMd, BCJ, BCJ2, the other branch
# filters and Delta, plus the raw LZMA decoder.
set(SDK ${LZMA_SDK_DIR}/C)
if(NOT EXISTS ${SDK}/7zArcIn.c)
  message(FATAL_ERROR "LZMA SDK not found in ${LZMA_SDK_DIR}: run scripts/setup")
endif()
add_library(lzmasdk STATIC
  ${SDK}/7zArcIn.c ${SDK}/7zBuf.c ${SDK}/7zCrc.c ${SDK}/7zCrcOpt.c ${SDK}/7zDec.c ${SDK}/7zStream.c
  ${SDK}/Bcj2.c ${SDK}/Bra.c ${SDK}/Bra86.c ${SDK}/BraIA64.c ${SDK}/CpuArch.c ${SDK}/Delta.c
  ${SDK}/Lzma2Dec.c ${SDK}/LzmaDec.c ${SDK}/Ppmd7.c ${SDK}/Ppmd7Dec.c)
target_include_directories(lzmasdk SYSTEM PUBLIC ${SDK})
target_compile_definitions(lzmasdk PRIVATE Z7_PPMD_SUPPORT Z7_EXTRACT_ONLY)
set_target_properties(lzmasdk PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
target_compile_options(lzmasdk PRIVATE -w)
# The decoders read unaligned words on purpose where the processor allows it (x86).
if(KORVEL_SANITIZE)
  target_compile_options(lzmasdk PRIVATE -fno-sanitize=alignment)
endif()

# The LZMA encoder, for what the publisher makes (binary patches) and for tests that write
# patches. Single-threaded, so its output depends on nothing but its input and settings.
add_library(lzmasdk_encoder STATIC ${SDK}/LzmaEnc.c ${SDK}/LzFind.c ${SDK}/LzFindOpt.c)
target_include_directories(lzmasdk_encoder SYSTEM PUBLIC ${SDK})
target_compile_definitions(lzmasdk_encoder PRIVATE Z7_ST)
target_link_libraries(lzmasdk_encoder PUBLIC lzmasdk)
set_target_properties(lzmasdk_encoder PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
target_compile_options(lzmasdk_encoder PRIVATE -w)
if(KORVEL_SANITIZE)
  target_compile_options(lzmasdk_encoder PRIVATE -fno-sanitize=alignment)
endif()
