# Debian's Zstandard library for the Windows programs, compiled from its source package, which
# scripts/fetch-zstd-source.sh fetches into the build tree (it is never part of the repository): the
# installer's decoder, qb_zstd_decoder, and the whole library for the Windows generator, qb_zstd. The
# generator built for this machine links Debian's libzstd itself (tools/pack/CMakeLists.txt).
set(QB_ZSTD_SOURCE "" CACHE PATH "Debian's libzstd source, as scripts/fetch-zstd-source.sh unpacks it")
if(NOT EXISTS "${QB_ZSTD_SOURCE}/lib/zstd.h")
    message(FATAL_ERROR "QB_ZSTD_SOURCE names no libzstd source; scripts/build.sh fetches one")
endif()
set(qb_zstd_lib ${QB_ZSTD_SOURCE}/lib)

# Its code is the library's own, and compiled as its makefile compiles it: no warnings of ours, no
# assembly (MinGW's assembler takes none of it), no legacy formats, its hash under its own names.
function(qb_zstd_library name)
    list(TRANSFORM ARGN PREPEND ${qb_zstd_lib}/)
    add_library(${name} STATIC ${ARGN})
    target_include_directories(${name} SYSTEM PUBLIC ${qb_zstd_lib} ${qb_zstd_lib}/common)
    target_compile_definitions(${name} PUBLIC XXH_NAMESPACE=ZSTD_ PRIVATE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0)
    target_compile_options(${name} PRIVATE -w -O2 -ffunction-sections -fdata-sections)
endfunction()

set(qb_zstd_common common/entropy_common.c common/error_private.c common/fse_decompress.c common/xxhash.c
    common/zstd_common.c)
set(qb_zstd_decompress decompress/huf_decompress.c decompress/zstd_ddict.c decompress/zstd_decompress.c
    decompress/zstd_decompress_block.c)

# Not ZSTD_NO_INLINE: measured, it saved 4 KiB and made decoding about twice as slow.
set(QB_ZSTD_SMALL_DECODER ZSTD_STRIP_ERROR_STRINGS HUF_FORCE_DECOMPRESS_X1 ZSTD_FORCE_DECOMPRESS_SEQUENCES_SHORT)
# The shipped 32-bit installer takes the library's options for a small decoder: the setup executable is
# downloaded on every release. Its 64-bit twin, which runs the tests and the benchmark here, decodes at the
# library's full speed.
qb_zstd_library(qb_zstd_decoder ${qb_zstd_common} ${qb_zstd_decompress})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_compile_definitions(qb_zstd_decoder PRIVATE ${QB_ZSTD_SMALL_DECODER})
    # Compiled for size, and without unwind tables, as the installer's own code is.
    target_compile_options(qb_zstd_decoder PRIVATE -Os -fno-asynchronous-unwind-tables)
endif()

# The generator compresses in worker threads, as Debian's libzstd can: with ZSTD_MULTITHREAD the library
# makes them with Windows' own threads, locks and condition variables (Vista and later).
qb_zstd_library(qb_zstd ${qb_zstd_common} ${qb_zstd_decompress} common/pool.c common/threading.c
    compress/fse_compress.c compress/hist.c compress/huf_compress.c compress/zstd_compress.c
    compress/zstd_compress_literals.c compress/zstd_compress_sequences.c compress/zstd_compress_superblock.c
    compress/zstd_double_fast.c compress/zstd_fast.c compress/zstd_lazy.c compress/zstd_ldm.c compress/zstd_opt.c
    compress/zstdmt_compress.c)
target_compile_definitions(qb_zstd PRIVATE ZSTD_MULTITHREAD)
