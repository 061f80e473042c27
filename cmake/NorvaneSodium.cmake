# Gives the build the target Sodium::Sodium, one of two ways:
#  - the system's static libsodium (Debian's libsodium-dev; FindSodium),
#    when found;
#  - else libsodium 1.0.22 built here from the source tarball that the sdist
#    bundles (third_party/, put into a checkout by scripts/fetch-sources,
#    or downloaded by the build when a checkout lacks it), after checking it
#    against the SHA-256 pinned in third_party/sources.txt
#    (NorvaneBundledSource).
# NORVANE_SODIUM picks: AUTO (that order), SYSTEM or BUNDLED. Either way the
# library is linked statically and the configure log says which one it is.
#
# The bundled libsodium is compiled the way its own build (configure and
# automake) compiles it, here by CMake alone: Debian's source tarball is a
# copy of libsodium's repository, without the generated configure script,
# and running autoconf, automake and libtool would make them prerequisites
# of every source build. So this module carries over, for this pinned
# version:
#  - the sources of src/libsodium/Makefile.am, full build (not
#    --enable-minimal, as Debian's), in the same groups: the SIMD code is
#    compiled with the instruction-set flags of its group, where the
#    compiler has them, and libsodium picks among the implementations at
#    run time by CPUID (sodium_init), so the SSSE3 and AVX2 ChaCha20 and the
#    SSE2 Poly1305 are there as in Debian's library; on aarch64 the ARMv8
#    crypto-extension group (AES-256-GCM with AES and PMULL) is compiled in
#    and chosen at run time by the kernel's hardware capabilities;
#  - configure.ac's checks, with its own test programs, as the -D
#    definitions configure would pass (CONFIGURED, HAVE_*, TLS, ...);
#  - its compiler flags (hidden visibility, -fno-strict-aliasing,
#    -fno-strict-overflow, the stack protector, _FORTIFY_SOURCE), Debian's
#    -O2, and assertions kept, as in Debian's build; and position-
#    independent code (-fPIC), which Debian's libsodium.a is not.
#
# Errors are single lines (a leading space keeps CMake from re-wrapping
# them) that say what is missing and how to get it.

set(NORVANE_SODIUM AUTO CACHE STRING
  "libsodium to build with: AUTO (the system's if found, else the bundled source), SYSTEM or BUNDLED")
set_property(CACHE NORVANE_SODIUM PROPERTY STRINGS AUTO SYSTEM BUNDLED)
set(NORVANE_SODIUM_BUNDLED OFF)
include(NorvaneBundledSource)
norvane_system_or_bundled(CHOICE NORVANE_SODIUM PACKAGE Sodium DISPLAY libsodium DEBIAN_PACKAGE libsodium-dev
  FOUND _norvane_system_sodium)
if(_norvane_system_sodium)
  return()
endif()

norvane_bundled_source(NAME libsodium DISPLAY libsodium DEBIAN_PACKAGE libsodium-dev
  SOURCE_DIR _sodium_root VERSION _sodium_version FILE _sodium_file ORIGIN _sodium_origin)
set(_sodium_src "${_sodium_root}/src/libsodium")
if(NOT EXISTS "${_sodium_root}/configure.ac" OR NOT EXISTS "${_sodium_src}/sodium/core.c"
   OR NOT EXISTS "${_sodium_src}/include/sodium/version.h.in")
  message(FATAL_ERROR " third_party/${_sodium_file} does not hold libsodium's source tree: fetch it again with scripts/fetch-sources, or download the sdist again")
endif()

norvane_bundled_c_compiler(libsodium libsodium-dev)
find_package(Threads REQUIRED)

# --- configure.ac's checks ----------------------------------------------------
# Each result is cached (NORVANE_SODIUM_<name>); a check that holds adds
# -D<name>=1 to libsodium's definitions. The test
# programs are configure's, with one change: the assembler statements that
# configure separates with "\n" are separated with ";" (the x86 and ARM
# assemblers take both), since CMake 3's check macros would turn the
# backslash sequence into a line break inside the C string.
include(CheckCCompilerFlag)
include(CheckCSourceCompiles)
include(CheckFunctionExists)
set(_sodium_defs CONFIGURED=1 _GNU_SOURCE=1)
set(CMAKE_REQUIRED_QUIET ON)

# A check compiles its program and stops there, unless what it asks is
# whether something links (a C library function, an atomic operation that
# may be a library call): linking a program per check is what made this
# configure step take minutes with a cross compiler, whose linker builds
# the target's C runtime (crt files, C library stubs, compiler-rt) for each
# new set of -m flags before it can link anything. Each result is cached,
# so a second configure of the same build folder checks nothing again.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# _sodium_check(<name> <program> [LINK] [FLAGS <flags>...]): <name> holds
# when <program> compiles (with LINK: and links) with those flags.
function(_sodium_check name program)
  cmake_parse_arguments(PARSE_ARGV 2 arg "LINK" "" "FLAGS")
  list(JOIN arg_FLAGS " " CMAKE_REQUIRED_FLAGS)
  if(arg_LINK)
    set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)
  endif()
  check_c_source_compiles("${program}" NORVANE_SODIUM_${name})
  if(NORVANE_SODIUM_${name})
    set(_sodium_defs ${_sodium_defs} "${name}=1" PARENT_SCOPE)
  endif()
endfunction()

# Byte order (AC_C_BIGENDIAN).
if(CMAKE_C_BYTE_ORDER STREQUAL "LITTLE_ENDIAN")
  list(APPEND _sodium_defs NATIVE_LITTLE_ENDIAN=1)
elseif(CMAKE_C_BYTE_ORDER STREQUAL "BIG_ENDIAN")
  list(APPEND _sodium_defs NATIVE_BIG_ENDIAN=1)
else()
  message(FATAL_ERROR " the byte order of ${CMAKE_C_COMPILER}'s target is unknown, and the bundled libsodium needs it: install Debian's libsodium-dev (apt-get install libsodium-dev)")
endif()

# Threads (AX_PTHREAD) and thread-local storage (AX_TLS; GCC and clang in C
# take the first of these that compiles, _Thread_local).
if(CMAKE_USE_PTHREADS_INIT)
  list(APPEND _sodium_defs HAVE_PTHREAD=1)
  foreach(keyword thread_local _Thread_local __thread)
    string(MAKE_C_IDENTIFIER "${keyword}" id)
    check_c_source_compiles("#include <stdlib.h>
static void foo(void) { static ${keyword} int bar; (void) bar; exit(1); }
int main(void) { foo(); return 0; }" NORVANE_SODIUM_TLS_${id})
    if(NORVANE_SODIUM_TLS_${id})
      list(APPEND _sodium_defs "TLS=${keyword}")
      break()
    endif()
  endforeach()
endif()

_sodium_check(HAVE_C_VARARRAYS "int main(int argc, char **argv) { char a[argc]; a[0] = 0; (void) argv; return a[0]; }")

# The instruction sets, each with the flag its SIMD group is compiled with.
# _sodium_simd(<group flags variable> <flag> <name> <program>)
function(_sodium_simd flag_var flag name program)
  string(MAKE_C_IDENTIFIER "FLAG${flag}" flag_id)
  check_c_compiler_flag("${flag}" NORVANE_SODIUM_${flag_id})
  set(flags)
  if(NORVANE_SODIUM_${flag_id})
    set(flags "${flag}")
  endif()
  _sodium_check(${name} "${program}" FLAGS ${flags})
  set(_sodium_defs ${_sodium_defs} PARENT_SCOPE)
  if(NORVANE_SODIUM_${name})
    set(${flag_var} ${flags} PARENT_SCOPE)
  endif()
endfunction()
# The ARMv8 crypto extensions (AES, PMULL), on aarch64: the sources ask for
# them with function attributes (clang) or a target pragma (GCC); a
# compiler that takes neither gets -march=armv8-a+crypto+aes for that group
# alone, as configure does.
set(_sodium_cflags_armcrypto)
set(_sodium_armcrypto_program "#ifndef __ARM_FEATURE_CRYPTO
# define __ARM_FEATURE_CRYPTO 1
#endif
#ifndef __ARM_FEATURE_AES
# define __ARM_FEATURE_AES 1
#endif
#include <arm_neon.h>
#ifdef __clang__
# pragma clang attribute push(__attribute__((target(\"neon,crypto,aes\"))), apply_to = function)
#elif defined(__GNUC__)
# pragma GCC target(\"+simd+crypto\")
#endif
int main(void) {
  int64x2_t x = { 0, 0 };
  vaeseq_u8(vmovq_n_u8(0), vmovq_n_u8(0));
  vmull_high_p64(vreinterpretq_p64_s64(x), vreinterpretq_p64_s64(x));
  return 0;
}
#ifdef __clang__
# pragma clang attribute pop
#endif")
check_c_source_compiles("#ifndef __aarch64__
# error Not aarch64
#endif
#include <arm_neon.h>
int main(void) { return 0; }" NORVANE_SODIUM_TARGET_AARCH64)
if(NORVANE_SODIUM_TARGET_AARCH64)
  _sodium_check(HAVE_ARMCRYPTO "${_sodium_armcrypto_program}")
  if(NOT NORVANE_SODIUM_HAVE_ARMCRYPTO)
    check_c_compiler_flag(-march=armv8-a+crypto+aes NORVANE_SODIUM_FLAG_march_armv8_crypto)
    if(NORVANE_SODIUM_FLAG_march_armv8_crypto)
      _sodium_check(HAVE_ARMCRYPTO_MARCH "${_sodium_armcrypto_program}" FLAGS -march=armv8-a+crypto+aes)
      if(NORVANE_SODIUM_HAVE_ARMCRYPTO_MARCH)
        list(APPEND _sodium_defs HAVE_ARMCRYPTO=1)
        set(_sodium_cflags_armcrypto -march=armv8-a+crypto+aes)
      endif()
    endif()
  endif()
endif()

set(_sodium_cflags_sse2)
set(_sodium_cflags_ssse3)
set(_sodium_cflags_sse41)
set(_sodium_cflags_avx)
set(_sodium_cflags_avx2)
set(_sodium_cflags_avx512f)
set(_sodium_cflags_aes)
set(_sodium_cflags_pclmul)
set(_sodium_cflags_rdrnd)
_sodium_simd(_sodium_cflags_mmx -mmmx HAVE_MMINTRIN_H "#pragma GCC target(\"mmx\")
#include <mmintrin.h>
int main(void) { __m64 x = _mm_setzero_si64(); (void) x; return 0; }")
_sodium_simd(_sodium_cflags_sse2 -msse2 HAVE_EMMINTRIN_H "#pragma GCC target(\"sse2\")
#ifndef __SSE2__
# define __SSE2__
#endif
#include <emmintrin.h>
int main(void) { __m128d x = _mm_setzero_pd(); __m128i z = _mm_srli_epi64(_mm_setzero_si128(), 26); (void) x; (void) z; return 0; }")
_sodium_simd(_sodium_cflags_sse3 -msse3 HAVE_PMMINTRIN_H "#pragma GCC target(\"sse3\")
#include <pmmintrin.h>
int main(void) { __m128 x = _mm_addsub_ps(_mm_cvtpd_ps(_mm_setzero_pd()), _mm_cvtpd_ps(_mm_setzero_pd())); (void) x; return 0; }")
_sodium_simd(_sodium_cflags_ssse3 -mssse3 HAVE_TMMINTRIN_H "#pragma GCC target(\"ssse3\")
#include <tmmintrin.h>
int main(void) { __m64 x = _mm_abs_pi32(_m_from_int(0)); (void) x; return 0; }")
_sodium_simd(_sodium_cflags_sse41 -msse4.1 HAVE_SMMINTRIN_H "#pragma GCC target(\"sse4.1\")
#include <smmintrin.h>
int main(void) { __m128i x = _mm_minpos_epu16(_mm_setzero_si128()); (void) x; return 0; }")
_sodium_simd(_sodium_cflags_avx -mavx HAVE_AVXINTRIN_H "#pragma GCC target(\"avx\")
#include <immintrin.h>
int main(void) { _mm256_zeroall(); return 0; }")
_sodium_simd(_sodium_cflags_avx2 -mavx2 HAVE_AVX2INTRIN_H "#pragma GCC target(\"avx2\")
#include <immintrin.h>
int main(void) {
  __m256 x = _mm256_set1_ps(3.14);
  __m256 y = _mm256_permutevar8x32_ps(x, _mm256_set1_epi32(42));
  return _mm256_movemask_ps(_mm256_cmp_ps(x, y, _CMP_NEQ_OQ));
}")
if(NORVANE_SODIUM_HAVE_AVX2INTRIN_H)
  check_c_source_compiles("#pragma GCC target(\"avx2\")
#include <immintrin.h>
int main(void) { __m256i y = _mm256_broadcastsi128_si256(_mm_setzero_si128()); (void) y; return 0; }"
    NORVANE_SODIUM_BROADCASTSI128_SI256)
  if(NOT NORVANE_SODIUM_BROADCASTSI128_SI256)
    list(APPEND _sodium_defs _mm256_broadcastsi128_si256=_mm_broadcastsi128_si256)
  endif()
endif()
_sodium_simd(_sodium_cflags_avx512f -mavx512f HAVE_AVX512FINTRIN_H "#pragma GCC target(\"avx512f\")
#include <immintrin.h>
#ifndef __AVX512F__
# error No AVX512 support
#elif defined(__clang__)
# if __clang_major__ < 4
#  error Compiler AVX512 support may be broken
# endif
#elif defined(__GNUC__)
# if __GNUC__ < 6
#  error Compiler AVX512 support may be broken
# endif
#endif
int main(void) {
  __m512i x = _mm512_setzero_epi32();
  __m512i y = _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 1, 4, 5, 2, 3, 6, 7), x);
  (void) y;
  return 0;
}")
check_c_compiler_flag(-maes NORVANE_SODIUM_FLAG_maes)
check_c_compiler_flag(-mpclmul NORVANE_SODIUM_FLAG_mpclmul)
if(NORVANE_SODIUM_FLAG_maes AND NORVANE_SODIUM_FLAG_mpclmul)
  _sodium_check(HAVE_WMMINTRIN_H "#pragma GCC target(\"aes\")
#pragma GCC target(\"pclmul\")
#include <wmmintrin.h>
int main(void) {
  __m128i x = _mm_aesimc_si128(_mm_setzero_si128());
  __m128i y = _mm_clmulepi64_si128(_mm_setzero_si128(), _mm_setzero_si128(), 0);
  (void) x; (void) y;
  return 0;
}" FLAGS -maes -mpclmul)
  if(NORVANE_SODIUM_HAVE_WMMINTRIN_H)
    set(_sodium_cflags_aes -maes -mpclmul)
  endif()
endif()
_sodium_simd(_sodium_cflags_rdrnd -mrdrnd HAVE_RDRAND "#pragma GCC target(\"rdrnd\")
#include <immintrin.h>
int main(void) { unsigned long long x; return _rdrand64_step(&x); }")

# Each header after the C library's common ones, as configure's
# AC_CHECK_HEADERS includes it: a C library's header may refuse its own
# version only once <features.h> has said which it is (glibc's threads.h
# before 2.28, in Zig's headers for older glibc versions).
foreach(header sys/mman.h sys/param.h sys/random.h intrin.h sys/auxv.h cet.h threads.h alloca.h)
  string(MAKE_C_IDENTIFIER "HAVE_${header}" name)
  string(TOUPPER "${name}" name)
  _sodium_check(${name} "#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>
#include <${header}>
int main(void) { return 0; }")
endforeach()
_sodium_check(HAVE__XGETBV "#include <intrin.h>
int main(void) { (void) _xgetbv(0); return 0; }")

_sodium_check(HAVE_INLINE_ASM "int main(void) {
  int a = 42;
  int *pnt = &a;
  __asm__ __volatile__ (\"\" : : \"r\"(pnt) : \"memory\");
  return 0;
}")
set(_sodium_x86_64 "#if defined(__amd64) || defined(__amd64__) || defined(__x86_64__)
# if defined(__CYGWIN__) || defined(__MINGW32__) || defined(__MINGW64__) || defined(_WIN32) || defined(_WIN64)
#  error Windows x86_64 calling conventions are not supported yet
# endif
#else
# error !x86_64
#endif")
_sodium_check(HAVE_AMD64_ASM "${_sodium_x86_64}
int main(void) {
  unsigned char i = 0, o = 0, t;
  __asm__ __volatile__ (\"pxor %%xmm12, %%xmm6 ; \"
                        \"movb (%[i]), %[t] ; \"
                        \"addb %[t], (%[o]) ; \"
                        : [t] \"=&r\"(t)
                        : [o] \"D\"(&o), [i] \"S\"(&i)
                        : \"memory\", \"flags\", \"cc\");
  return 0;
}")
_sodium_check(HAVE_AVX_ASM "${_sodium_x86_64}
int main(void) { __asm__ __volatile__ (\"vpunpcklqdq %xmm0,%xmm13,%xmm0\"); return 0; }")
set(CMAKE_REQUIRED_DEFINITIONS)
if(CMAKE_C_BYTE_ORDER STREQUAL "LITTLE_ENDIAN")
  set(CMAKE_REQUIRED_DEFINITIONS -DNATIVE_LITTLE_ENDIAN=1)
endif()
_sodium_check(HAVE_TI_MODE "#if !defined(__clang__) && !defined(__GNUC__) && !defined(__SIZEOF_INT128__)
# error mode(TI) is a gcc extension, and __int128 is not available
#endif
#if defined(__clang__) && !defined(__x86_64__) && !defined(__aarch64__)
# error clang does not properly handle the 128-bit type on 32-bit systems
#endif
#ifndef NATIVE_LITTLE_ENDIAN
# error libsodium currently expects a little endian CPU for the 128-bit type
#endif
#include <stddef.h>
#include <stdint.h>
#if defined(__SIZEOF_INT128__)
typedef unsigned __int128 uint128_t;
#else
typedef unsigned uint128_t __attribute__((mode(TI)));
#endif
void fcontract(uint128_t *t);
void fcontract(uint128_t *t) {
  *t += 0x8000000000000 - 1;
  *t *= *t;
  *t >>= 84;
}
int main(void) { (void) fcontract; return 0; }")
set(CMAKE_REQUIRED_DEFINITIONS)
_sodium_check(HAVE_CPUID "int main(void) {
  unsigned int cpu_info[4];
  __asm__ __volatile__ (\"xchgl %%ebx, %k1; cpuid; xchgl %%ebx, %k1\" :
                        \"=a\" (cpu_info[0]), \"=&r\" (cpu_info[1]),
                        \"=c\" (cpu_info[2]), \"=d\" (cpu_info[3]) :
                        \"0\" (0U), \"2\" (0U));
  return 0;
}")
# The directive that keeps the assembly's symbols out of the library's
# interface: .private_extern (Mach-O) or .hidden (ELF), the one that links.
foreach(directive .private_extern .hidden)
  string(MAKE_C_IDENTIFIER "${directive}" id)
  check_c_source_compiles("int main(void) {
  __asm__ __volatile__ (\"${directive} dummy_symbol ; \"
                        \"${directive} _dummy_symbol ; \"
                        \".globl dummy_symbol ; \"
                        \".globl _dummy_symbol ; \"
                        \"dummy_symbol: ; \"
                        \"_dummy_symbol: ; \"
                        \"    nop ; \");
  return 0;
}" NORVANE_SODIUM_ASM${id})
endforeach()
if(NORVANE_SODIUM_ASM_private_extern AND NOT NORVANE_SODIUM_ASM_hidden)
  list(APPEND _sodium_defs ASM_HIDE_SYMBOL=.private_extern)
elseif(NORVANE_SODIUM_ASM_hidden AND NOT NORVANE_SODIUM_ASM_private_extern)
  list(APPEND _sodium_defs ASM_HIDE_SYMBOL=.hidden)
endif()
_sodium_check(HAVE_WEAK_SYMBOLS "#if !defined(__ELF__) && !defined(__APPLE_CC__)
# error Support for weak symbols may not be available
#endif
__attribute__((weak)) void __dummy(void *x);
__attribute__((weak)) void __dummy(void *x) { (void) x; }
void f(void *x);
void f(void *x) { __dummy(x); }
int main(void) { return 0; }")
_sodium_check(HAVE_C11_MEMORY_FENCES "#include <stdatomic.h>
int main(void) { atomic_thread_fence(memory_order_acquire); return 0; }")
_sodium_check(HAVE_GCC_MEMORY_FENCES "int main(void) { __atomic_thread_fence(__ATOMIC_ACQUIRE); return 0; }")
_sodium_check(HAVE_ATOMIC_OPS "int main(void) {
  static volatile int _sodium_lock;
  __sync_lock_test_and_set(&_sodium_lock, 1);
  __sync_lock_release(&_sodium_lock);
  return 0;
}" LINK)
_sodium_check(HAVE_ALLOCA "#include <alloca.h>
int main(void) { char *p = (char *) alloca(2); p[0] = 0; return p[0]; }")
# The C library's functions: whether they link is the question (a C
# library's headers may declare what its oldest supported version lacks).
set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)
foreach(function mmap mlock madvise mprotect raise sysconf getpid getauxval elf_aux_info posix_memalign
                 nanosleep clock_gettime memset_s explicit_bzero memset_explicit explicit_memset)
  string(TOUPPER "HAVE_${function}" name)
  check_function_exists(${function} NORVANE_SODIUM_${name})
  if(NORVANE_SODIUM_${name})
    list(APPEND _sodium_defs ${name}=1)
  endif()
endforeach()
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# getrandom and getentropy with the standard interface.
set(_sodium_random_headers "#include <stdlib.h>
#include <unistd.h>
#ifdef HAVE_SYS_RANDOM_H
# include <sys/random.h>
#endif")
set(CMAKE_REQUIRED_DEFINITIONS)
if(NORVANE_SODIUM_HAVE_SYS_RANDOM_H)
  set(CMAKE_REQUIRED_DEFINITIONS -DHAVE_SYS_RANDOM_H=1)
endif()
_sodium_check(HAVE_GETRANDOM "${_sodium_random_headers}
int main(void) {
  unsigned char buf;
  if (&getrandom != NULL) {
    (void) getrandom((void *) &buf, 1U, 0U);
  }
  return 0;
}" LINK)
_sodium_check(HAVE_GETENTROPY "${_sodium_random_headers}
int main(void) {
  unsigned char buf;
  if (&getentropy != NULL) {
    (void) getentropy((void *) &buf, 1U);
  }
  return 0;
}" LINK)
set(CMAKE_REQUIRED_DEFINITIONS)

# configure's flags, where the compiler has them.
set(_sodium_cflags -O2 -UNDEBUG)
foreach(flag -fno-strict-aliasing -fno-strict-overflow -fstack-protector-strong -ftls-model=local-dynamic)
  string(MAKE_C_IDENTIFIER "FLAG${flag}" id)
  check_c_compiler_flag("${flag}" NORVANE_SODIUM_${id})
  if(NORVANE_SODIUM_${id})
    list(APPEND _sodium_cflags "${flag}")
  endif()
endforeach()
if(NOT NORVANE_SODIUM_FLAG_fno_strict_overflow)
  list(APPEND _sodium_cflags -fwrapv)
endif()
check_c_source_compiles("#ifndef _FORTIFY_SOURCE
# error not fortified
#endif
int main(void) { return 0; }" NORVANE_SODIUM_FORTIFIED)
if(NOT NORVANE_SODIUM_FORTIFIED)
  list(APPEND _sodium_defs _FORTIFY_SOURCE=2)
endif()
unset(CMAKE_REQUIRED_QUIET)
unset(CMAKE_TRY_COMPILE_TARGET_TYPE)

# --- sources: src/libsodium/Makefile.am ----------------------------------------
set(_sodium_sources
  crypto_aead/aegis128l/aead_aegis128l.c
  crypto_aead/aegis128l/aegis128l_soft.c
  crypto_aead/aegis256/aead_aegis256.c
  crypto_aead/aegis256/aegis256_soft.c
  crypto_aead/aes256gcm/aead_aes256gcm.c
  crypto_aead/chacha20poly1305/aead_chacha20poly1305.c
  crypto_aead/xchacha20poly1305/aead_xchacha20poly1305.c
  crypto_auth/crypto_auth.c
  crypto_auth/hmacsha256/auth_hmacsha256.c
  crypto_auth/hmacsha512/auth_hmacsha512.c
  crypto_auth/hmacsha512256/auth_hmacsha512256.c
  crypto_box/crypto_box.c
  crypto_box/crypto_box_easy.c
  crypto_box/crypto_box_seal.c
  crypto_box/curve25519xsalsa20poly1305/box_curve25519xsalsa20poly1305.c
  crypto_core/ed25519/ref10/ed25519_ref10.c
  crypto_core/hchacha20/core_hchacha20.c
  crypto_core/hsalsa20/ref2/core_hsalsa20_ref2.c
  crypto_core/hsalsa20/core_hsalsa20.c
  crypto_core/keccak1600/keccak1600.c
  crypto_core/keccak1600/ref/keccak1600_ref.c
  crypto_core/keccak1600/armsha3/keccak1600_armsha3.c
  crypto_core/salsa/ref/core_salsa_ref.c
  crypto_core/softaes/softaes.c
  crypto_generichash/crypto_generichash.c
  crypto_generichash/blake2b/generichash_blake2.c
  crypto_generichash/blake2b/ref/blake2b-compress-ref.c
  crypto_generichash/blake2b/ref/blake2b-ref.c
  crypto_generichash/blake2b/ref/generichash_blake2b.c
  crypto_hash/crypto_hash.c
  crypto_hash/sha256/hash_sha256.c
  crypto_hash/sha256/cp/hash_sha256_cp.c
  crypto_hash/sha512/hash_sha512.c
  crypto_hash/sha512/cp/hash_sha512_cp.c
  crypto_hash/sha3/hash_sha3.c
  crypto_ipcrypt/crypto_ipcrypt.c
  crypto_ipcrypt/ipcrypt_soft.c
  crypto_kdf/blake2b/kdf_blake2b.c
  crypto_kdf/crypto_kdf.c
  crypto_kdf/hkdf/kdf_hkdf_sha256.c
  crypto_kdf/hkdf/kdf_hkdf_sha512.c
  crypto_kem/crypto_kem.c
  crypto_kem/mlkem768/kem_mlkem768.c
  crypto_kem/mlkem768/ref/kem_mlkem768_ref.c
  crypto_kem/xwing/kem_xwing.c
  crypto_kx/crypto_kx.c
  crypto_onetimeauth/crypto_onetimeauth.c
  crypto_onetimeauth/poly1305/onetimeauth_poly1305.c
  crypto_onetimeauth/poly1305/donna/poly1305_donna.c
  crypto_pwhash/argon2/argon2-core.c
  crypto_pwhash/argon2/argon2-encoding.c
  crypto_pwhash/argon2/argon2-fill-block-ref.c
  crypto_pwhash/argon2/argon2-fill-block-wasm32.c
  crypto_pwhash/argon2/argon2.c
  crypto_pwhash/argon2/blake2b-long.c
  crypto_pwhash/argon2/pwhash_argon2i.c
  crypto_pwhash/argon2/pwhash_argon2id.c
  crypto_pwhash/crypto_pwhash.c
  crypto_scalarmult/crypto_scalarmult.c
  crypto_scalarmult/curve25519/ref10/x25519_ref10.c
  crypto_scalarmult/curve25519/scalarmult_curve25519.c
  crypto_secretbox/crypto_secretbox.c
  crypto_secretbox/crypto_secretbox_easy.c
  crypto_secretbox/xsalsa20poly1305/secretbox_xsalsa20poly1305.c
  crypto_secretstream/xchacha20poly1305/secretstream_xchacha20poly1305.c
  crypto_shorthash/crypto_shorthash.c
  crypto_shorthash/siphash24/shorthash_siphash24.c
  crypto_shorthash/siphash24/ref/shorthash_siphash24_ref.c
  crypto_sign/crypto_sign.c
  crypto_sign/ed25519/sign_ed25519.c
  crypto_sign/ed25519/ref10/keypair.c
  crypto_sign/ed25519/ref10/open.c
  crypto_sign/ed25519/ref10/sign.c
  crypto_stream/chacha20/stream_chacha20.c
  crypto_stream/chacha20/ref/chacha20_ref.c
  crypto_stream/crypto_stream.c
  crypto_stream/salsa20/stream_salsa20.c
  crypto_stream/xsalsa20/stream_xsalsa20.c
  crypto_verify/verify.c
  crypto_xof/shake128/xof_shake128.c
  crypto_xof/shake128/ref/shake128_ref.c
  crypto_xof/shake256/xof_shake256.c
  crypto_xof/shake256/ref/shake256_ref.c
  crypto_xof/turboshake128/xof_turboshake128.c
  crypto_xof/turboshake128/ref/turboshake128_ref.c
  crypto_xof/turboshake256/xof_turboshake256.c
  crypto_xof/turboshake256/ref/turboshake256_ref.c
  randombytes/randombytes.c
  randombytes/sysrandom/randombytes_sysrandom.c
  sodium/codecs.c
  sodium/core.c
  sodium/runtime.c
  sodium/utils.c
  sodium/version.c
  # not --enable-minimal
  crypto_box/curve25519xchacha20poly1305/box_curve25519xchacha20poly1305.c
  crypto_box/curve25519xchacha20poly1305/box_seal_curve25519xchacha20poly1305.c
  crypto_core/ed25519/core_ed25519.c
  crypto_core/ed25519/core_ristretto255.c
  crypto_pwhash/scryptsalsa208sha256/crypto_scrypt-common.c
  crypto_pwhash/scryptsalsa208sha256/scrypt_platform.c
  crypto_pwhash/scryptsalsa208sha256/pbkdf2-sha256.c
  crypto_pwhash/scryptsalsa208sha256/pwhash_scryptsalsa208sha256.c
  crypto_pwhash/scryptsalsa208sha256/nosse/pwhash_scryptsalsa208sha256_nosse.c
  crypto_scalarmult/ed25519/ref10/scalarmult_ed25519_ref10.c
  crypto_scalarmult/ristretto255/ref10/scalarmult_ristretto255_ref10.c
  crypto_secretbox/xchacha20poly1305/secretbox_xchacha20poly1305.c
  crypto_shorthash/siphash24/shorthash_siphashx24.c
  crypto_shorthash/siphash24/ref/shorthash_siphashx24_ref.c
  crypto_sign/ed25519/ref10/obsolete.c
  crypto_stream/salsa2012/ref/stream_salsa2012_ref.c
  crypto_stream/salsa2012/stream_salsa2012.c
  crypto_stream/salsa208/ref/stream_salsa208_ref.c
  crypto_stream/salsa208/stream_salsa208.c
  crypto_stream/xchacha20/stream_xchacha20.c)
# The SIMD groups (libaesni, libarmcrypto, libsse2, ... in Makefile.am):
# each is compiled with its instruction sets' flags where the target has
# them, and compiles to nothing elsewhere, as in libsodium's own build.
set(_sodium_group_aesni
  crypto_aead/aegis128l/aegis128l_aesni.c
  crypto_aead/aegis256/aegis256_aesni.c
  crypto_aead/aes256gcm/aesni/aead_aes256gcm_aesni.c
  crypto_ipcrypt/ipcrypt_aesni.c)
set(_sodium_group_armcrypto
  crypto_aead/aegis128l/aegis128l_armcrypto.c
  crypto_aead/aegis256/aegis256_armcrypto.c
  crypto_aead/aes256gcm/armcrypto/aead_aes256gcm_armcrypto.c
  crypto_ipcrypt/ipcrypt_armcrypto.c
  crypto_pwhash/argon2/argon2-fill-block-neon.c)
set(_sodium_group_sse2
  crypto_onetimeauth/poly1305/sse2/poly1305_sse2.c
  crypto_pwhash/scryptsalsa208sha256/sse/pwhash_scryptsalsa208sha256_sse.c)
set(_sodium_group_ssse3
  crypto_generichash/blake2b/ref/blake2b-compress-ssse3.c
  crypto_pwhash/argon2/argon2-fill-block-ssse3.c
  crypto_stream/chacha20/dolbeau/chacha20_dolbeau-ssse3.c)
set(_sodium_group_sse41 crypto_generichash/blake2b/ref/blake2b-compress-sse41.c)
set(_sodium_group_avx2
  crypto_generichash/blake2b/ref/blake2b-compress-avx2.c
  crypto_pwhash/argon2/argon2-fill-block-avx2.c
  crypto_stream/chacha20/dolbeau/chacha20_dolbeau-avx2.c
  crypto_stream/salsa20/xmm6int/salsa20_xmm6int-avx2.c)
set(_sodium_group_avx512f crypto_pwhash/argon2/argon2-fill-block-avx512f.c)
set(_sodium_group_rdrand randombytes/internal/randombytes_internal_random.c)
if(NORVANE_SODIUM_HAVE_AMD64_ASM)
  enable_language(ASM)
  list(APPEND _sodium_sources
    crypto_stream/salsa20/xmm6/salsa20_xmm6-asm.S
    crypto_stream/salsa20/xmm6/salsa20_xmm6.c)
else()
  list(APPEND _sodium_sources crypto_stream/salsa20/ref/salsa20_ref.c)
  list(APPEND _sodium_group_sse2 crypto_stream/salsa20/xmm6int/salsa20_xmm6int-sse2.c)
endif()
if(NORVANE_SODIUM_HAVE_AVX_ASM)
  list(APPEND _sodium_sources
    crypto_scalarmult/curve25519/sandy2x/curve25519_sandy2x.c
    crypto_scalarmult/curve25519/sandy2x/fe51_invert.c
    crypto_scalarmult/curve25519/sandy2x/fe_frombytes_sandy2x.c
    crypto_scalarmult/curve25519/sandy2x/sandy2x.S)
endif()

set(_sodium_flags_aesni ${_sodium_cflags_sse2} ${_sodium_cflags_ssse3} ${_sodium_cflags_avx} ${_sodium_cflags_aes})
set(_sodium_flags_armcrypto ${_sodium_cflags_armcrypto})
set(_sodium_flags_sse2 ${_sodium_cflags_sse2})
set(_sodium_flags_ssse3 ${_sodium_cflags_sse2} ${_sodium_cflags_ssse3})
set(_sodium_flags_sse41 ${_sodium_flags_ssse3} ${_sodium_cflags_sse41})
set(_sodium_flags_avx2 ${_sodium_flags_sse41} ${_sodium_cflags_avx} ${_sodium_cflags_avx2})
set(_sodium_flags_avx512f ${_sodium_flags_avx2} ${_sodium_cflags_avx512f})
set(_sodium_flags_rdrand ${_sodium_cflags_rdrnd})
set(_sodium_all_sources)
foreach(file IN LISTS _sodium_sources)
  list(APPEND _sodium_all_sources "${_sodium_src}/${file}")
endforeach()
foreach(group aesni armcrypto sse2 ssse3 sse41 avx2 avx512f rdrand)
  foreach(file IN LISTS _sodium_group_${group})
    list(APPEND _sodium_all_sources "${_sodium_src}/${file}")
    if(_sodium_flags_${group})
      set_source_files_properties("${_sodium_src}/${file}" PROPERTIES COMPILE_OPTIONS "${_sodium_flags_${group}}")
    endif()
  endforeach()
endforeach()
# Clang, building for 32-bit ARM, unrolls keccak1600_ref.c's loops around
# glibc's fortified memcpy and memset until it runs out of memory (above
# 20 GB with Zig's clang for arm-linux-gnueabihf; 130 MB without unrolling).
if(CMAKE_C_COMPILER_ID MATCHES "Clang" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|ARM)")
  set_source_files_properties("${_sodium_src}/crypto_core/keccak1600/ref/keccak1600_ref.c"
    PROPERTIES COMPILE_OPTIONS -fno-unroll-loops)
endif()

# sodium/version.h, as configure writes it from version.h.in, into the
# unpacked tree (beside export.h, which it includes).
function(_sodium_version_header)
  file(STRINGS "${_sodium_root}/configure.ac" init REGEX "^AC_INIT\\(\\[libsodium\\],\\[")
  file(STRINGS "${_sodium_root}/configure.ac" major REGEX "^SODIUM_LIBRARY_VERSION_MAJOR=[0-9]+$")
  file(STRINGS "${_sodium_root}/configure.ac" minor REGEX "^SODIUM_LIBRARY_VERSION_MINOR=[0-9]+$")
  string(REGEX REPLACE "^AC_INIT\\(\\[libsodium\\],\\[([^]]*)\\].*" "\\1" VERSION "${init}")
  string(REGEX REPLACE ".*=" "" SODIUM_LIBRARY_VERSION_MAJOR "${major}")
  string(REGEX REPLACE ".*=" "" SODIUM_LIBRARY_VERSION_MINOR "${minor}")
  if(NOT VERSION OR NOT SODIUM_LIBRARY_VERSION_MAJOR OR NOT SODIUM_LIBRARY_VERSION_MINOR)
    message(FATAL_ERROR " third_party/${_sodium_file} has no version in its configure.ac: fetch it again with scripts/fetch-sources, or download the sdist again")
  endif()
  set(SODIUM_LIBRARY_MINIMAL_DEF "")
  configure_file("${_sodium_src}/include/sodium/version.h.in"
    "${_sodium_src}/include/sodium/version.h" @ONLY)
endfunction()
_sodium_version_header()

add_library(norvane_sodium STATIC ${_sodium_all_sources})
add_library(Sodium::Sodium ALIAS norvane_sodium)
set_target_properties(norvane_sodium PROPERTIES
  EXPORT_NAME sodium
  OUTPUT_NAME norvane_sodium
  POSITION_INDEPENDENT_CODE ON
  C_VISIBILITY_PRESET hidden)
target_compile_definitions(norvane_sodium PRIVATE ${_sodium_defs})
target_compile_options(norvane_sodium PRIVATE $<$<COMPILE_LANGUAGE:C>:${_sodium_cflags}>)
# sodium.h for its users; the sources include their headers by name.
target_include_directories(norvane_sodium
  PUBLIC $<BUILD_INTERFACE:${_sodium_src}/include>
  PRIVATE ${_sodium_src}/include/sodium)
# sodium_init takes a mutex.
target_link_libraries(norvane_sodium PUBLIC Threads::Threads)

# The installed C++ package carries the bundled library with the core
# (norvane::sodium), so that its users need no libsodium either.
if(NORVANE_INSTALL_CORE)
  include(GNUInstallDirs)
  install(TARGETS norvane_sodium EXPORT norvaneTargets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
endif()

# What the log says: the version, and the instruction sets compiled in for
# libsodium's run-time choice.
set(_sodium_simd_names)
if(NORVANE_SODIUM_HAVE_ARMCRYPTO OR NORVANE_SODIUM_HAVE_ARMCRYPTO_MARCH)
  set(NORVANE_SODIUM_ARMV8_CRYPTO ON)
endif()
foreach(pair SSE2:HAVE_EMMINTRIN_H SSSE3:HAVE_TMMINTRIN_H SSE4.1:HAVE_SMMINTRIN_H AVX:HAVE_AVXINTRIN_H
             AVX2:HAVE_AVX2INTRIN_H AVX-512F:HAVE_AVX512FINTRIN_H AES-NI:HAVE_WMMINTRIN_H
             ARMv8-crypto:ARMV8_CRYPTO)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 1 name)
  if(NORVANE_SODIUM_${name})
    list(GET pair 0 label)
    list(APPEND _sodium_simd_names "${label}")
  endif()
endforeach()
if(_sodium_simd_names)
  list(JOIN _sodium_simd_names " " _sodium_simd_names)
else()
  set(_sodium_simd_names "none, portable code only")
endif()
set(NORVANE_SODIUM_BUNDLED ON)
message(STATUS "libsodium: bundled ${_sodium_version}, built from ${_sodium_origin} (SHA-256 checked; SIMD for run-time choice: ${_sodium_simd_names})")
